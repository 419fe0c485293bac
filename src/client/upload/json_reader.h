// JSON data files in two streaming passes, so that a file of any size uploads
// without ever being held as a parsed document: the first pass checks the
// file's first value the way a stream extraction would read it, the second
// hands out the array's elements written out compact. Both cut the array into
// chunks of whole elements as they read it and work on the chunks on the
// worker threads.
#pragma once

#include <cstddef>
#include <deque>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gzip/worker_pool.h"

namespace rest_client::upload {

// Data files nested deeper than this are refused in the first pass: writing
// out such an element would exhaust the stack. It is higher than the limit
// on service answers because a data element is only parsed and written once,
// never copied or compared.
constexpr size_t kMaxDataDepth = 10000;

// Reads the first JSON value of `in` (what follows it is ignored) without
// keeping it. Throws the JSON library's parse error for a malformed value,
// exactly as parsing it into a document would, and "Failed to read file: "
// `path` when the stream fails. True when it is an array. `in` must be able
// to seek back to its start.
bool check_json_value(std::istream& in, const std::string& path);

// The compact serialisations of the elements of the array that is the first
// value of `in`, which check_json_value has accepted, in order: each exactly
// as the JSON library writes that element out from the parsed document.
// The work is done on the worker threads, a chunk of elements at a time, a
// few chunks ahead of the caller.
class CompactElements {
public:
    CompactElements(std::istream& in, const std::string& path);
    ~CompactElements();  // waits for the chunks still in work
    CompactElements(const CompactElements&) = delete;
    CompactElements& operator=(const CompactElements&) = delete;

    // The next element's compact text, valid until the next call, or false
    // after the last one. An element that fails to convert throws once the
    // ones before it are out.
    bool next(std::string_view& compact);

private:
    class Chunks;
    struct Batch;
    void read_ahead();

    std::unique_ptr<Chunks> chunks_;
    std::shared_ptr<gzip::WorkerPool> pool_;
    size_t max_in_flight_;
    std::deque<std::unique_ptr<Batch>> in_flight_;
    std::vector<std::unique_ptr<Batch>> spare_;
    size_t taken_ = 0;  // elements of the front batch handed out
    bool first_ = true;
    bool read_all_ = false;
};

}  // namespace rest_client::upload

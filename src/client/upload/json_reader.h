// JSON data files in two streaming passes, so that a file of any size uploads
// without ever being held as a parsed document: the first pass checks the
// file's first value the way a stream extraction would read it, the second
// hands out the texts of the array's elements one at a time.
#pragma once

#include <cstddef>
#include <deque>
#include <istream>
#include <memory>
#include <string>
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
// exactly as parsing it into a document would. True when it is an array.
bool check_json_value(std::istream& in);

// The elements of the array that is the first value of `in`, which
// check_json_value has accepted.
class JsonArrayElements {
public:
    explicit JsonArrayElements(std::istream& in);
    // The text of the next element (white space around it removed), or false
    // after the last one.
    bool next(std::string& text);

private:
    int peek();
    void skip_space();

    std::istream& in_;
    std::vector<char> buffer_;
    size_t at_ = 0;
    size_t end_ = 0;
    bool done_ = false;
};


// The compact serialisations of those elements, in order: each element
// parsed alone and written out compact, exactly as it would be from the
// parsed document. The work is done on the worker threads, a batch of
// elements at a time, a few batches ahead of the caller.
class CompactElements {
public:
    explicit CompactElements(std::istream& in);
    ~CompactElements();  // waits for the batches still in work
    CompactElements(const CompactElements&) = delete;
    CompactElements& operator=(const CompactElements&) = delete;

    // The next element's compact text, or false after the last one. An
    // element that fails to convert throws once the ones before it are out.
    bool next(std::string& compact);

private:
    struct Batch;
    void read_ahead();

    JsonArrayElements elements_;
    std::shared_ptr<gzip::WorkerPool> pool_;
    size_t max_in_flight_;
    std::deque<std::unique_ptr<Batch>> in_flight_;
    size_t taken_ = 0;  // elements of the front batch handed out
    bool read_all_ = false;
};

}  // namespace rest_client::upload

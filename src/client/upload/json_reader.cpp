#include "client/upload/json_reader.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "client/service_call.h"

namespace rest_client::upload {

namespace {

using json = nlohmann::json;

const char kChanged[] = "JSON data file changed while it was read";
constexpr size_t kReadBlock = 1 << 20;
constexpr size_t kBatchBytes = 256 * 1024;  // element text per batch of work

// Sees every event of the first value and keeps none of it.
class FirstValue {
public:
    bool is_array() const { return is_array_; }

    bool null() { return scalar(); }
    bool boolean(bool) { return scalar(); }
    bool number_integer(json::number_integer_t) { return scalar(); }
    bool number_unsigned(json::number_unsigned_t) { return scalar(); }
    bool number_float(json::number_float_t, const json::string_t&) { return scalar(); }
    bool string(json::string_t&) { return scalar(); }
    bool binary(json::binary_t&) { return scalar(); }
    bool start_object(std::size_t) { return enter(false); }
    bool key(json::string_t&) { return true; }
    bool end_object() { return leave(); }
    bool start_array(std::size_t) { return enter(true); }
    bool end_array() { return leave(); }
    // The same exception a document parse throws.
    template <class Exception>
    bool parse_error(std::size_t, const std::string&, const Exception& error) {
        throw error;
    }

private:
    bool scalar() {
        started_ = true;
        return true;
    }
    bool enter(bool array) {
        if (!started_) is_array_ = array;
        started_ = true;
        if (++depth_ > kMaxDataDepth)
            throw std::runtime_error("JSON value nested deeper than " + std::to_string(kMaxDataDepth) +
                                     " levels");
        return true;
    }
    bool leave() {
        --depth_;
        return true;
    }

    bool started_ = false;
    bool is_array_ = false;
    size_t depth_ = 0;
};

bool is_space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

bool check_json_value(std::istream& in) {
    FirstValue value;
    json::sax_parse(in, &value, json::input_format_t::json, /*strict=*/false);
    return value.is_array();
}

JsonArrayElements::JsonArrayElements(std::istream& in) : in_(in), buffer_(kReadBlock) {
    // A byte order mark may come first, as the parser allows.
    if (peek() == 0xEF) {
        for (int i = 0; i < 3; ++i) {
            peek();
            ++at_;
        }
    }
    skip_space();
    if (peek() != '[') throw std::runtime_error(kChanged);
    ++at_;
}

int JsonArrayElements::peek() {
    if (at_ == end_) {
        in_.read(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        end_ = static_cast<size_t>(in_.gcount());
        at_ = 0;
        if (end_ == 0) return EOF;
    }
    return static_cast<unsigned char>(buffer_[at_]);
}

void JsonArrayElements::skip_space() {
    while (is_space(peek())) ++at_;
}

bool JsonArrayElements::next(std::string& text) {
    text.clear();
    if (done_) return false;
    skip_space();
    int c = peek();
    if (c == ']') {
        done_ = true;
        return false;
    }
    if (c == ',') {  // between elements
        ++at_;
        skip_space();
    }
    // The element runs to the next comma or closing bracket outside strings
    // and nested values.
    size_t depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (;;) {
        if (peek() == EOF) throw std::runtime_error(kChanged);
        const char* const start = buffer_.data() + at_;
        const char* const stop = buffer_.data() + end_;
        const char* p = start;
        bool ended = false;
        for (; p < stop; ++p) {
            const char ch = *p;
            if (in_string) {
                if (escaped)
                    escaped = false;
                else if (ch == '\\')
                    escaped = true;
                else if (ch == '"')
                    in_string = false;
            } else if (ch == '"') {
                in_string = true;
            } else if (ch == '[' || ch == '{') {
                ++depth;
            } else if (ch == ']' || ch == '}') {
                if (depth == 0) {
                    ended = true;
                    break;
                }
                --depth;
            } else if (ch == ',' && depth == 0) {
                ended = true;
                break;
            }
        }
        text.append(start, static_cast<size_t>(p - start));
        at_ += static_cast<size_t>(p - start);
        if (ended) break;
    }
    while (!text.empty() && is_space(static_cast<unsigned char>(text.back()))) text.pop_back();
    return true;
}

// ---- compact elements ------------------------------------------------------------------

struct CompactElements::Batch {
    std::vector<std::string> items;  // element texts, then their compact forms
    size_t failed_at = SIZE_MAX;
    std::exception_ptr error;
    std::atomic<bool> done{false};

    void run() noexcept {
        for (size_t i = 0; i < items.size(); ++i) {
            try {
                items[i] = serialize(json::parse(items[i]));
            } catch (...) {
                error = std::current_exception();
                failed_at = i;
                break;
            }
        }
        done.store(true, std::memory_order_release);
    }
};

CompactElements::CompactElements(std::istream& in)
    : elements_(in), pool_(gzip::WorkerPool::shared()), max_in_flight_(pool_->size() + 2) {}

CompactElements::~CompactElements() { pool_->settle(in_flight_); }

void CompactElements::read_ahead() {
    while (!read_all_ && in_flight_.size() < max_in_flight_) {
        auto batch = std::make_unique<Batch>();
        size_t bytes = 0;
        std::string text;
        while (bytes < kBatchBytes) {
            if (!elements_.next(text)) {
                read_all_ = true;
                break;
            }
            bytes += text.size();
            batch->items.push_back(std::move(text));
        }
        if (batch->items.empty()) break;
        Batch* work = batch.get();
        in_flight_.push_back(std::move(batch));
        try {
            pool_->run([work] { work->run(); });
        } catch (...) {
            in_flight_.pop_back();
            throw;
        }
    }
}

bool CompactElements::next(std::string& compact) {
    for (;;) {
        read_ahead();
        if (in_flight_.empty()) return false;
        Batch& front = *in_flight_.front();
        pool_->wait_until([&front] { return front.done.load(std::memory_order_acquire); });
        if (taken_ < front.items.size() && taken_ < front.failed_at) {
            compact = std::move(front.items[taken_++]);
            return true;
        }
        if (front.error) std::rethrow_exception(front.error);
        in_flight_.pop_front();
        taken_ = 0;
    }
}

}  // namespace rest_client::upload

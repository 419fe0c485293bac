// The two interfaces of a streaming compressor: where its output goes and
// what it is fed.
#pragma once

#include <cstddef>

namespace gzip {

// Receives the bytes of a gzip stream as they are produced.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual void write(const unsigned char* data, size_t size) = 0;
};

// Turns the bytes written to it into one gzip stream (one member, header and
// trailer) on its sink.
class Compressor {
public:
    virtual ~Compressor() = default;
    virtual void write(const char* data, size_t size) = 0;
    // Writes everything still pending and the trailer.
    virtual void finish() = 0;
    // Drops whatever is pending and starts a new stream on the same sink.
    virtual void reset() = 0;
};

}  // namespace gzip

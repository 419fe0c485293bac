// Writes the deterministic benchmark files: the same bytes on every run.
//
//   gen_data csv|libsvm|binary|json SIZE_BYTES OUT_FILE
//
// Records are whole: a file ends at the first record boundary at or past SIZE.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// xorshift64*: fast, and the same sequence everywhere.
struct Random {
    uint64_t s;
    explicit Random(uint64_t seed) : s(seed) {}
    uint64_t next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 2685821657736338717ULL;
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) % n); }
};

const char* const kWords[] = {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot",
                              "golf", "hotel", "india", "juliett", "kilo", "lima"};

// A value in [-1, 1) with four decimals, as a data export would write it.
void append_value(std::string& out, Random& r) {
    int v = static_cast<int>(r.below(20000)) - 10000;
    char buf[16];
    int n = std::snprintf(buf, sizeof buf, "%s%d.%04d", v < 0 ? "-" : "", std::abs(v) / 10000,
                          std::abs(v) % 10000);
    out.append(buf, static_cast<size_t>(n));
}

constexpr int kDim = 32;

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: gen_data csv|libsvm|binary|json SIZE_BYTES OUT_FILE\n");
        return 2;
    }
    const std::string format = argv[1];
    const uint64_t size = std::strtoull(argv[2], nullptr, 10);
    std::FILE* out = std::fopen(argv[3], "wb");
    if (!out) {
        std::perror(argv[3]);
        return 1;
    }
    Random r(0x9E3779B97F4A7C15ULL);
    uint64_t written = 0;
    std::string buf;
    auto flush = [&] {
        if (buf.size() >= (1 << 20)) {
            std::fwrite(buf.data(), 1, buf.size(), out);
            written += buf.size();
            buf.clear();
        }
    };
    auto total = [&] { return written + buf.size(); };

    if (format == "csv") {
        buf += "id,label";
        for (int i = 0; i < kDim; ++i) buf += ",v" + std::to_string(i);
        buf += '\n';
        for (uint64_t id = 1; total() < size; ++id) {
            buf += std::to_string(id);
            buf += ',';
            buf += kWords[r.below(12)];
            for (int i = 0; i < kDim; ++i) {
                buf += ',';
                append_value(buf, r);
            }
            buf += '\n';
            flush();
        }
    } else if (format == "libsvm") {
        while (total() < size) {
            buf += std::to_string(r.below(2));
            uint32_t index = 0;
            for (int i = 0; i < kDim; ++i) {
                index += 1 + r.below(8);
                buf += ' ';
                buf += std::to_string(index);
                buf += ':';
                append_value(buf, r);
            }
            buf += '\n';
            flush();
        }
    } else if (format == "binary") {
        // float32 records of kDim values in [-1, 1), as embeddings are.
        while (total() < size) {
            for (int i = 0; i < kDim; ++i) {
                float f = static_cast<float>(static_cast<int64_t>(r.next() >> 40) - (1 << 23)) / (1 << 23);
                char bytes[4];
                std::memcpy(bytes, &f, 4);
                buf.append(bytes, 4);
            }
            flush();
        }
    } else if (format == "json") {
        buf += '[';
        for (uint64_t id = 1; total() < size; ++id) {
            if (id > 1) buf += ",\n";
            buf += "{\"label\": \"";
            buf += kWords[r.below(12)];
            buf += "\", \"id\": " + std::to_string(id) + ", \"vector\": [";
            for (int i = 0; i < kDim; ++i) {
                if (i) buf += ", ";
                append_value(buf, r);
            }
            buf += "]}";
            flush();
        }
        buf += "]\n";
    } else {
        std::fprintf(stderr, "unknown format %s\n", format.c_str());
        return 2;
    }
    std::fwrite(buf.data(), 1, buf.size(), out);
    return std::fclose(out) == 0 ? 0 : 1;
}

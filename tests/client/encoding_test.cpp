// Base64, SHA-256, gzip, readable sizes, shape texts, file reads and the
// SHARD_SIZE text rule, against known answers.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "client/handlers.h"
#include "client/helpers.h"
#include "client/rate_limiter.h"
#include "client/seams.h"
#include "client/state.h"
#include "fake/fake_service.h"
#include "support/capture.h"

using namespace rest_client;

TEST(Base64, Rfc4648VectorsInBothForms) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"},
        {"a", "YQ=="},    {"ab", "YWI="},        {"\xff", "/w=="},       {"\xfb\xff", "+/8="}};
    for (const auto& [in, want] : cases) {
        EXPECT_EQ(base64_encode(in), want) << in;
        EXPECT_EQ(base64_encode(reinterpret_cast<const unsigned char*>(in.data()), in.size()), want);
    }
}

TEST(Sha256, KnownDigests) {
    EXPECT_EQ(calculate_sha256(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(calculate_sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(calculate_sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Gzip, RoundTripsThroughInflate) {
    for (size_t size : {size_t(0), size_t(1), size_t(1000), size_t(300000), size_t(3u << 20)}) {
        std::vector<unsigned char> data(size);
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<unsigned char>((i * 7919) % 251);
        std::vector<unsigned char> z = gzipCompress(data, -1);
        ASSERT_GE(z.size(), 18u);
        EXPECT_EQ(z[0], 0x1f);
        EXPECT_EQ(z[1], 0x8b);
        bool ok = false;
        std::string back = fake::gunzip(std::string(z.begin(), z.end()), &ok);
        EXPECT_TRUE(ok) << size;
        EXPECT_EQ(back, std::string(data.begin(), data.end())) << size;
    }
}

TEST(ReadableSize, EveryThreshold) {
    EXPECT_EQ(to_readable_size(0), "0.00 KB");
    EXPECT_EQ(to_readable_size(500), "0.49 KB");
    EXPECT_EQ(to_readable_size(1023), "1.00 KB");
    EXPECT_EQ(to_readable_size(1048575), "1024.00 KB");
    EXPECT_EQ(to_readable_size(1048576), "1.00 MB");
    EXPECT_EQ(to_readable_size(1073741823), "1024.00 MB");
    EXPECT_EQ(to_readable_size(1073741824), "1.00 GB");
    EXPECT_EQ(to_readable_size(1099511627775ULL), "1024.00 GB");
    EXPECT_EQ(to_readable_size(1099511627776ULL), "1.00 TB");
    EXPECT_EQ(to_readable_size(UINT64_MAX), "16777216.00 TB");
}

TEST(ShapeText, FirstNumberOrError) {
    EXPECT_EQ(extractFirstElement("(1000, 128)"), 1000);
    EXPECT_EQ(extractFirstElement("  (  1000 ,  128  )  "), 1000);
    for (const char* bad : {"(1000, 128", "1000, 128", "(1000.5, 128)", "1000x128", "", "(1,2)x"}) {
        try {
            extractFirstElement(bad);
            ADD_FAILURE() << bad;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Invalid dimension format: ") + bad);
        }
    }
    EXPECT_THROW(extractFirstElement("(12345678901, 3)"), std::out_of_range);
}

// The shape comes from the service; a megabyte of it must not exhaust the stack.
TEST(ShapeText, LongTextsAreReadWithoutRecursion) {
    const std::string blanks(1000000, ' ');
    const std::string zeros(1000000, '0');
    EXPECT_EQ(extractFirstElement(blanks + "(" + zeros + "1000" + blanks + "," + zeros + "7)" + blanks),
              1000);
    const std::string unclosed = "(" + zeros + "1, 2" + blanks;
    try {
        extractFirstElement(unclosed);
        ADD_FAILURE();
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), "Invalid dimension format: " + unclosed);
    }
    EXPECT_THROW(extractFirstElement("(" + std::string(1000000, '9') + ", 2)"), std::out_of_range);
}

TEST(Files, WholeFilesAndMissingOnes) {
    std::string path = testing::TempDir() + "tarvo_files_test.bin";
    {
        std::ofstream(path, std::ios::binary) << std::string("a\r\nb\0c", 6);
    }
    EXPECT_EQ(readFileContents(path), std::string("a\r\nb\0c", 6));
    EXPECT_EQ(readFileAsBinary(path).size(), 6u);
    { std::ofstream(path, std::ios::trunc); }
    EXPECT_EQ(readFileContents(path), "");
    std::remove(path.c_str());
    try {
        readFileContents("/nonexistent/x");
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not open file: /nonexistent/x");
    }
    try {
        readFileAsBinary("/nonexistent/x");
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to open file: /nonexistent/x");
    }
}

TEST(ShardSizeText, StartUpConversion) {
    const std::pair<const char*, int32_t> good[] = {
        {"1048576", 1048576}, {"  1048576", 1048576}, {"10MB", 10}, {"0x100", 0},
        {"-5", -5}, {"+7", 7}, {"2147483647", 2147483647}, {"-2147483648", INT32_MIN}};
    for (const auto& [text, want] : good) {
        EXPECT_EQ(parse_int32(text), std::optional<int32_t>(want)) << text;
    }
    for (const char* bad : {"", "abc", "  ", "2147483648", "-2147483649", "99999999999999999999", "- 5"}) {
        EXPECT_FALSE(parse_int32(bad)) << bad;
    }
}

TEST(ConsoleLines, ExactBytes) {
    auto o = test_support::capture([] {
        print_success("ok");
        print_warning("x");
        print_error("");
        print_error("a\nResponse: b");
        print_info("note");
        print_border();
    });
    EXPECT_EQ(o.out, "\033[32m[SUCCESS] ok\033[0m\n\033[33m[WARNING]x\033[0m\n\033[31m[ERROR] \033[0m\n"
                     "\033[31m[ERROR] a\nResponse: b\033[0m\n================================\n");
    EXPECT_EQ(o.err, "[INFO] note\n");
}

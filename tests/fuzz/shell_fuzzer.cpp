// libFuzzer target over the scanner and the grammar: each input is one
// command line. The handlers are replaced by ones that do nothing, so no
// input reaches the network or the file system; confirmations read an empty
// standard input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "client/seams.h"
#include "shell/shell.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "r", stdin)) std::abort();
    setenv("FUZZ_WORDS", "a b [c]", 1);
    setenv("FUZZ_EMPTY", "", 1);
    setenv("FUZZ_BYTES", "\xff\xc3", 1);
    rest_client::Handlers& h = rest_client::seams().handlers;
    h.attach_index = [](auto&&...) { return true; };
    h.init_dataset = [](auto&&...) { return true; };
    h.create_project = [](auto&&...) { return true; };
    h.delete_dataset = [](auto&&...) { return true; };
    h.delete_project = [](auto&&...) { return true; };
    h.delete_index = [](auto&&...) { return true; };
    h.fetch_datasets = [](auto&&...) { return true; };
    h.fetch_projects = [] { return true; };
    h.list_index_infos = [](auto&&...) { return true; };
    h.delete_vector = [](auto&&...) { return true; };
    h.insert_vector_dense = [](auto&&...) { return true; };
    h.insert_vector_sparse = [](auto&&...) { return true; };
    h.insert_vector_batch_dense = [](auto&&...) { return true; };
    h.insert_vector_batch_sparse = [](auto&&...) { return true; };
    h.search = [](auto&&...) { return true; };
    h.upload = [](auto&&...) { return true; };
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    int result = shell::parse_command_line(line + "\n");
    if (result < 0 || result > 2) std::abort();
    return 0;
}

// The fake service as a process of its own, for runs of the real binary and
// for the benchmark. It binds 127.0.0.1 on a free port, prints "PORT <n>",
// and stops by itself after --lifetime seconds (or when its standard input
// closes, with --until-stdin-closes). With --light, /upload bodies are not
// checked and are logged without their Base64 fields but with "body_size".
//
//   fake_service [--lifetime S] [--log FILE] [--script FILE] [--until-stdin-closes] [--light]
//
// A script is a JSON object from path to a list of replies served in order,
// each {"status": N, "body": "..."} (body may also be any JSON value).
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <unistd.h>

#include "fake/fake_service.h"

using json = nlohmann::json;

int main(int argc, char** argv) {
    int lifetime = 3600;
    std::string log_path, script_path;
    bool until_stdin_closes = false;
    bool light = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--lifetime" && i + 1 < argc) lifetime = std::stoi(argv[++i]);
        else if (a == "--log" && i + 1 < argc) log_path = argv[++i];
        else if (a == "--script" && i + 1 < argc) script_path = argv[++i];
        else if (a == "--until-stdin-closes") until_stdin_closes = true;
        else if (a == "--light") light = true;
        else {
            std::cerr << "usage: fake_service [--lifetime S] [--log FILE] [--script FILE] "
                         "[--until-stdin-closes] [--light]\n";
            return 2;
        }
    }
    fake::FakeService service(light);
    std::ofstream log;
    if (!log_path.empty()) {
        log.open(log_path, std::ios::app);
        service.observe([&log, light](const fake::Request& r) {
            json line = {{"method", r.method}, {"path", r.path}, {"body", r.body}};
            if (light) line["body_size"] = r.body_size;
            if (!r.file_data.empty()) line["file_data"] = r.file_data;
            if (!r.string_ids.empty()) line["string_ids"] = r.string_ids;
            log << line.dump(-1, ' ', false, json::error_handler_t::replace) << std::endl;
        });
    }
    if (!script_path.empty()) {
        std::ifstream in(script_path);
        json script = json::parse(in);
        for (auto& [path, replies] : script.items())
            for (auto& r : replies) {
                fake::Reply reply;
                reply.status = r.value("status", 200);
                if (r.contains("body"))
                    reply.body = r["body"].is_string() ? r["body"].get<std::string>() : r["body"].dump();
                service.push(path, reply);
            }
    }
    std::cout << "PORT " << service.port() << std::endl;
    if (until_stdin_closes) {
        std::thread([] {
            char buf[256];
            while (::read(0, buf, sizeof buf) > 0) {
            }
            std::_Exit(0);
        }).detach();
    }
    std::this_thread::sleep_for(std::chrono::seconds(lifetime));
    for (const auto& p : service.problems()) std::cerr << "problem: " << p << "\n";
    return 0;
}

// API-key login at start-up and the client version check.
#include <cstdlib>
#include <exception>
#include <iostream>

#include "client/handlers.h"
#include "client/service_call.h"
#include "client/state.h"
#include "editor/line_editor.h"
#include "net/http.h"

namespace rest_client {
namespace {

// Six lines of 44 columns: TARVO in block letters with a box-drawn shadow.
const char* const kBanner =
    " ████████╗ █████╗ ██████╗ ██╗   ██╗ ██████╗ \n"
    " ╚══██╔══╝██╔══██╗██╔══██╗██║   ██║██╔═══██╗\n"
    "    ██║   ███████║██████╔╝██║   ██║██║   ██║\n"
    "    ██║   ██╔══██║██╔══██╗╚██╗ ██╔╝██║   ██║\n"
    "    ██║   ██║  ██║██║  ██║ ╚████╔╝ ╚██████╔╝\n"
    "    ╚═╝   ╚═╝  ╚═╝╚═╝  ╚═╝  ╚═══╝   ╚═════╝ ";

void login_error(const std::string& message) {
    write_line(std::cerr, Colour::red, "[ERROR] " + message);
}

void say(const std::string& line) { write_line(std::cout, Colour::none, line); }

// A line break in the key would end its header line and let the key add
// headers of its own choosing; no key with a control character is sent.
bool has_control_character(const std::string& key) {
    for (unsigned char c : key)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

}  // namespace

bool handle_login_with_api_key(const std::string& api_key) {
    if (has_control_character(api_key)) {
        login_error("Invalid API key: it contains control characters");
        return false;
    }
    try {
        net::Response response = net::get(account_service_url + "/bk/validate-api-key",
                                          {{"Accept", "*/*"},
                                           {"Cache-Control", "no-cache"},
                                           {"Connection", "keep-alive"},
                                           {"X-API-Key", api_key}});
        if (response.status != 200) {
            login_error("Login failed! Status code: " + std::to_string(response.status) +
                        "\nResponse: " + response.text);
            return false;
        }
        json answer = parse_json(response.text);
        if (answer.is_object() && answer.contains("user_id") && answer.contains("username")) {
            std::string user_id = answer.at("user_id").get<std::string>();
            std::string name = answer.at("username").get<std::string>();
            user_api_key = api_key;
            session_token = user_id;
            username = name;
            write_line(std::cout, Colour::green, "[SUCCESS] Login successful!");
            return true;
        }
        if (answer.is_object() && answer.contains("detail")) {
            login_error(answer.at("detail").get<std::string>());
            return false;
        }
        login_error("Unexpected response format: " + response.text);
        return false;
    } catch (const std::exception& e) {
        login_error(std::string("Exception in handle_login: ") + e.what());
        return false;
    }
}

void prompt_and_authenticate() {
    say("");
    say("");
    // The banner's last line has no newline of its own: one ends it, one more
    // leaves an empty line.
    std::cout << kBanner << "\n" << std::endl;
    say("Welcome to use Tarvo database Command Line Interface (CLI), version " +
        TARVO_CLI_VERSION + ". Get ready to connect with your Tarvo database, easily!");
    say("");
    say("To get started, please enter your Tarvo API key to login. You can get the API after "
        "registering at " + account_keys_page_url + ".");
    say("");

    const char* env_key = std::getenv("TARVO_API_KEY");
    if (env_key && *env_key) {
        say("Found Tarvo API key, validating...");
        if (handle_login_with_api_key(env_key)) {
            say("Logged in successfully! Username: " + username);
            say("");
            return;
        }
        say("Failed to authenticate. Please enter a valid API key.");
    }
    say("No global Tarvo API key found. Please...");
    for (;;) {
        // The key is never added to the history.
        std::optional<std::string> line = editor::read_line("Enter your Tarvo API key: ");
        if (!line) {
            say("");
            say("Input canceled. Exiting...");
            std::exit(0);
        }
        if (handle_login_with_api_key(*line)) {
            say("Logged in successfully! Username: " + username);
            say("");
            return;
        }
        say("Failed to authenticate. Please try again with a valid API key.");
    }
}

bool handle_check_cli_version() {
    ServiceCall call;
    call.path = "/check_cli_version";
    call.build = [](json& request) { request["cli_version"] = TARVO_CLI_VERSION; };
    call.failure_phrase = "Error checking CLI version with server, status code: ";
    call.response_separator = std::nullopt;
    call.on_success = [](const net::Response& response) {
        json answer;  // stays null when the text is not JSON
        try {
            answer = parse_json(response.text);
        } catch (const json::parse_error&) {
        }
        if (!answer.is_object() || !answer.contains("success") ||
            !answer.at("success").is_boolean() || !answer.contains("message")) {
            print_error("Server returned incorrect response format");
            return false;
        }
        if (answer.at("success").get<bool>()) return true;
        const json& message = answer.at("message");
        // A message that is not a string is shown as its JSON text.
        print_error(message.is_string() ? message.get<std::string>() : serialize(message));
        return false;
    };
    call.catch_prefix = "Error checking CLI version with server: ";
    return run_service_call(call);
}

}  // namespace rest_client

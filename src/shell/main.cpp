// Process entry: login, version check, then the command shell.
#include "client/rest_client.h"

int main() {
    rest_client::prompt_and_authenticate();
    if (!rest_client::handle_check_cli_version()) return 1;
    return 0;
}

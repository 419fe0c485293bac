// Uploading whole data files in compressed, checksummed shards: the arguments
// stage, the reading stage and the sending stage, under one catch.
#include <exception>

#include "client/handlers.h"
#include "client/state.h"
#include "client/upload/arguments.h"
#include "client/upload/reader.h"
#include "client/upload/sender.h"

namespace rest_client {

bool handle_upload(const std::string& project, const std::string& file_path,
                   OptionMap options) {
    try {
        std::optional<upload::UploadPlan> plan =
            upload::prepare_upload(project, file_path, std::move(options));
        if (!plan) return false;
        upload::ShardSender sender(plan->request, file_path);
        upload::read_and_send(*plan, sender);
        return sender.wait_for_all();
    } catch (const std::exception& e) {
        print_error(std::string("Error in upload: ") + e.what());
        return false;
    }
}

}  // namespace rest_client

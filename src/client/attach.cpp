// Attaching an index to a dataset and following the server job.
#include "client/rest_client.h"

namespace rest_client {

bool handle_attach_index(const std::string&, const std::string&, const std::string&,
                         const std::string&, const bool&) { return false; }

}  // namespace rest_client

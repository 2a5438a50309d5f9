// Apart from console.cpp, so that a program that only parses numbers does not carry the JSON writer.
#include <nlohmann/json.hpp>

#include "common/console.h"

namespace console {

std::string JsonText(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace console

// Apart from console.cpp, so that a program that only parses numbers does not carry the JSON writer.
#include <nlohmann/json.hpp>

#include "common/console.h"

namespace console {

std::string JsonText(const nlohmann::ordered_json& value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace console

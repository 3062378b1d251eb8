#include "request.hpp"

namespace corvanelle::stub {

RequestParts parts_of(const Document& request, std::size_t size) {
    RequestParts parts;
    parts.size = size;
    const Document::Value root = request.root();
    parts.root = root;
    if (root.kind() != Document::Kind::object) {
        return parts;
    }
    Document::Value member = root;
    const bool has_id = root.find("requestId", member) && member.kind() == Document::Kind::string;
    if (has_id) {
        parts.request_id = member.text();
    }
    Document::Value command = root;
    Document::Value arguments = root;
    if (!root.find("command", command) || command.kind() != Document::Kind::string ||
        !root.find("arguments", arguments) || arguments.kind() != Document::Kind::array) {
        return parts;
    }
    bool all_strings = true;
    arguments.for_each_element([&](Document::Value item) {
        all_strings = all_strings && item.kind() == Document::Kind::string;
    });
    parts.well_formed = all_strings && has_id;
    parts.command = command.text();
    parts.arguments = arguments;
    return parts;
}

}  // namespace corvanelle::stub

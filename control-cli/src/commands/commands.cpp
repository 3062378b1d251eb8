// The command folder: which command words the client may send, and the list shorthand
// rewritten onto them. It knows nothing of the socket or of output.
#include "commands/commands.hpp"

#include <algorithm>

#include "shared/failure_texts.hpp"

namespace corvanelle {

Result<std::string> resolve_command(std::string_view word, std::vector<std::string>& arguments) {
    if (word == "list") {
        if (arguments.empty()) {
            return fail(texts::kListNeedsTarget);
        }
        const std::string_view target = arguments.front();
        const auto found = std::find_if(kListTargets.begin(), kListTargets.end(),
                                        [&](const ListTarget& t) { return t.target == target; });
        if (found == kListTargets.end()) {
            return fail(texts::unsupported_list_target(arguments.front()));
        }
        // The target's place becomes the word "list", ahead of the arguments that followed it.
        arguments.front() = "list";
        return std::string(found->command);
    }
    if (std::find(kCommandTable.begin(), kCommandTable.end(), word) == kCommandTable.end()) {
        return fail(texts::unknown_command(word));
    }
    return std::string(word);
}

}  // namespace corvanelle

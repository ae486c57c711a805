// Windows passes a child one command-line text, which the child's C runtime
// (CommandLineToArgvW) splits back into arguments.
#pragma once

#include <string>
#include <vector>

namespace merivane {

// The command line that CommandLineToArgvW splits back into `argv`, quoted
// as the host's subprocess.list2cmdline quotes it: an argument with a space
// or a tab, or an empty one, goes in double quotes; a double quote is
// escaped with a backslash, and so are the backslashes right before a double
// quote (or before the closing one), which are doubled. Other backslashes
// stand as they are.
std::string quote_command_line(const std::vector<std::string>& argv);

}  // namespace merivane

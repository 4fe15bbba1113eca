// desksim panel: a desk's LCD, panel keys, interface cards, NVR and graphics adapter in a
// terminal, live while a program runs on the desk.
#pragma once

#include <filesystem>

namespace desksim {

// Shows the panel of the desk folder until q, Ctrl-C or a signal, and gives back the terminal
// as it was on every way out. Returns the exit status: 0, 1 after a failure it reported on
// standard error, or 128 + N when signal N ended it.
int run_panel(const std::filesystem::path& desk);

} // namespace desksim

#include "startup/multiplayer_tolvaran.hpp"

int main(int argc, char** argv) {
  startup::command_line& options = startup::command_line_or_exit(argc, argv);
  startup::static_initialisation(options);
  startup::multiplayer_tolvaran(*runtime_log::log);
  startup::wait_for_the_end();
}

#include "startup/multiplayer_tolvaran.hpp"

int main(int argc, char** argv) {
  startup::static_initialisation(argc, argv);
  startup::multiplayer_tolvaran(*runtime_log::log);
  startup::wait_for_the_end();
}

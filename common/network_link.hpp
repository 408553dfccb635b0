// What the window tells a game played over the network. The window knows only this interface; start-up
// hands it the network's side (a host's or a guest's), so that neither knows the other's code.
//
// Thread use: both operations from the graphics thread (and the host's own menu hook); an implementation
// hands them to its network thread.
#pragma once

#include "common/menu_command.hpp"

namespace common {

class network_link {
 public:
  virtual ~network_link() = default;
  // A menu command chosen here (or the pause while the menu is open, as `pause` and `resume`), before it
  // acts. True when the network has taken it over and nothing more happens here: a guest sends the shared
  // game's commands (new board, pause, resume) to its host and keeps no steering of its own; a host keeps
  // the green player's steering for its guest while one plays.
  virtual bool takes_menu_command(menu_command c) = 0;
  // The game ends here: the other side is told first. Returns within a moment, whatever the network does.
  virtual void game_ends() noexcept = 0;
};

}  // namespace common

#include "state/state.h"

#include <cstring>

namespace zel {

State state;

void ResetState() {
  std::memset(&state, 0, sizeof state);
}

}  // namespace zel

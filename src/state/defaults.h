#pragma once

namespace zel {

// Working defaults of every variable the engine reads; builds the demodulation tables.
// Reads nothing; writes the variables of every subsystem except those kept across it.
void InitDefaults();

}  // namespace zel

#pragma once

namespace zel {

// Opens COM<PortNumber> at BaudRate and empties the line both ways. Writes CommHandle,
// PortStatus; StatusCode ZEL_ERR_PORT_OPEN on failure.
void OpenPort();
// "C" at the current rate, then reopens at 115000 (dropping only the input, so "C" still goes
// out). Reads HighSpeedComm; writes BaudRate.
void HighSpeedSwitch();
// "D1"/"D0" and 50 ms. Clears a positive StatusCode first.
void SendAutoPowerDown(int setting);
// Closes CommHandle. Returns false when no port was open or the close failed.
bool ClosePortHandle();

}  // namespace zel

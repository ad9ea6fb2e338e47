// The frame of an exported call. Every export except ZEL_Sync and the extensions that only read
// (ZEL_StatusText, ZEL_LibraryVersion, ZEL_GetUnitInfo, ZEL_SetNoticeHandler) marks that a call
// is in progress, runs one engine routine, clears the mark and hands back the status code. The
// mark (InExportCall) keeps the interactive notices quiet, LibraryMode makes the record reader
// read, and SendFailed collects a command that did not go out during this call.
#pragma once

#include <cstdint>

#include "ZEL_863_DLL.h"
#include "state/state.h"

namespace zel {

// Writes InExportCall = 1, LibraryMode = 1, SendFailed = 0.
inline void EnterFrame() {
  state.frame.InExportCall = 1;
  state.frame.LibraryMode = 1;
  state.link.SendFailed = 0;
}

// Writes InExportCall = 0.
inline void ExitFrame() {
  state.frame.InExportCall = 0;
}

// ExitFrame, and the status code the call returns.
inline std::int32_t LeaveFrame() {
  ExitFrame();
  return state.frame.StatusCode;
}

// A call that had to send a command and could not says so, whatever else the engine left: a
// relay that was never switched must not look switched, and a point whose command never went out
// must not wait two seconds for a record and then blame the reference signal.
inline std::int32_t LeaveFrameCheckingSent() {
  if (state.link.SendFailed != 0) state.frame.StatusCode = ZEL_ERR_NOT_SENT;
  return LeaveFrame();
}

}  // namespace zel

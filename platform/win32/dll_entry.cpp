// The DLL entry point. The library keeps no per-thread state and starts no
// thread, so it only asks the system not to report thread starts and ends.
// Everything else is set up by qelAttach, never at load.
#include "platform/win32/windows_api.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}

/* A minimal host: identify the analyzer on COMn and measure a few raw points.
 *   host_example PORT [CALFILE]
 * With ZEL_COM<PORT> set to a device path (e.g. the simulator's pseudo-terminal). */
#include <stdio.h>
#include <stdlib.h>

#include "ZEL_863_DLL.h"

int main(int argc, char** argv) {
  int port = argc > 1 ? atoi(argv[1]) : 1;
  int mode = 0;
  if (ZEL_CommPort(1, port, 57600) != ZEL_OK) {
    fprintf(stderr, "cannot open COM%d\n", port);
    return 1;
  }
  ZEL_InitVars(0);
  char* version = ZEL_GetVersion(0);
  printf("controller: %s\n", version);
  free(version);
  printf("serial number: %d\n", ZEL_GetSerialNum(0));
  if (argc > 2) {
    int32_t status = ZEL_LoadCalFile(argv[2]);
    if (status != ZEL_OK) fprintf(stderr, "calibration not loaded (%d)\n", status);
    else mode = 1;
  }
  for (double f = 1.0; f <= 30.0; f += 7.25) {
    double r = 0, x = 0;
    int32_t status = ZEL_ScanPoint(mode, f, &r, &x);
    printf("%8.3f MHz  R=%10.3f  X=%10.3f  status=%d\n", f, r, x, status);
  }
  ZEL_ProgRelay(0);
  ZEL_CommPort(0, port, 0);
  return 0;
}

// A separate program for the session service's cross-process tests:
//   sess_probe set TOKEN STATE   set a state, exit 0
//   sess_probe get TOKEN         exit with the state
//   sess_probe open TOKEN        set the state 0 (open) and wait to be killed
//   sess_probe hold              take an activity mark and wait to be killed
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "zyp/zypsess.h"

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "set") == 0)
    return ZYPSetSessionState(std::atoi(argv[2]), std::atoi(argv[3]));
  if (argc == 3 && std::strcmp(argv[1], "get") == 0) return ZYPGetSessionState(std::atoi(argv[2]));
  if (argc == 3 && std::strcmp(argv[1], "open") == 0) {
    if (ZYPSetSessionState(std::atoi(argv[2]), 0) != 0) return 1;
    for (;;) pause();
  }
  if (argc == 2 && std::strcmp(argv[1], "hold") == 0) {
    if (ZYPBeginActivity() != 0) return 1;
    for (;;) pause();
  }
  return 2;
}

// A client program for the channel's cross-process tests: it repeats one
// call through libzypclient.so and checks every answer.
//   channel_probe keyformat COUNT MECHANISM BITS   GetKeyFormat of token 0 gives BITS
//   channel_probe tokens COUNT LISTED              EnumToken (room for 8) lists LISTED tokens
// Exit status 0 when every answer was right, 1 otherwise, 2 on bad usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zyp/zypclient.h"

namespace {

bool key_format_is(uint32_t mechanism, uint32_t bits) {
  uint32_t answer = 0;
  int result = ZYPCIPGetKeyFormat(0, mechanism, 1, &answer);
  if (result != 0 || answer != bits) std::fprintf(stderr, "key format: result %d, %u bits\n", result, answer);
  return result == 0 && answer == bits;
}

bool token_list_has(uint32_t listed) {
  ZYPCIPListEntry list[8] = {};
  uint32_t count = 8;
  int result = ZYPCIPEnumToken(list, &count);
  bool right = result == 0 && count == listed;
  for (uint32_t i = 0; right && i < listed; ++i) right = list[i].value == i;
  if (!right) std::fprintf(stderr, "token list: result %d, %u tokens\n", result, count);
  return right;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const char* what = argv[1];
  long count = std::strtol(argv[2], nullptr, 10);
  auto number = [&](int i) { return static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 0)); };
  for (long i = 0; i < count; ++i) {
    bool right = false;
    if (std::strcmp(what, "keyformat") == 0 && argc == 5)
      right = key_format_is(number(3), number(4));
    else if (std::strcmp(what, "tokens") == 0 && argc == 4)
      right = token_list_has(number(3));
    else
      return 2;
    if (!right) return 1;
  }
  return 0;
}

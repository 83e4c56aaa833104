// A stand-in for the smart-card library as the rescue program uses it.
// $VAULT_CARD_DIR/insert holds "1" when a card is ready, "0" when the user
// gives up; $VAULT_CARD_DIR/present "1" or "0"; $VAULT_CARD_DIR/unblock the
// result of the unblock call. Calls are logged to $VAULT_CARD_DIR/calls.
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string folder() {
  const char* dir = std::getenv("VAULT_CARD_DIR");
  return dir ? dir : ".";
}

int setting(const char* name) {
  std::ifstream in(folder() + "/" + name);
  int value = 1;
  in >> value;
  return value;
}

void log(const std::string& line) { std::ofstream(folder() + "/calls", std::ios::app) << line << "\n"; }

}  // namespace

#define CARD_API extern "C" __attribute__((visibility("default")))

CARD_API int ZYPCardInsertIHM(const char* caption, const char* prompt) {
  log("insert \"" + std::string(caption) + "\" \"" + prompt + "\"");
  return setting("insert");
}

CARD_API int ZYPCardUnblock(const char* new_pin, const char* code) {
  log("unblock " + std::string(new_pin) + " " + code);
  return setting("unblock");
}

CARD_API int ZYPIsCardPresent(void) { return setting("present"); }

CARD_API int ZYPCardRemoveIHM(const char*, const char*) {
  log("remove");
  return 0;
}

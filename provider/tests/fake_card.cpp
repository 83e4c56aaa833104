// A stand-in for the smart-card library, for the card copy tests. Cards are
// folders of $FAKE_CARD_DIR: NAME/serial (16 characters) and NAME/recordN
// (a record that exists can be read; erasing removes it). The file
// $FAKE_CARD_DIR/insertions lists, one per line, the cards the user inserts
// at each request; when it runs out the user gives up. Every call is logged
// to $FAKE_CARD_DIR/calls. $FAKE_CARD_WRITE_FAILS=N makes writing record N
// fail. A card's unblocking code is the first four bytes of its serial
// number XOR 0x5A.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string folder() {
  const char* dir = std::getenv("FAKE_CARD_DIR");
  return dir ? dir : ".";
}

std::string& inserted() {
  static std::string card;
  return card;
}

void log(const std::string& line) { std::ofstream(folder() + "/calls", std::ios::app) << line << "\n"; }

std::string read_file(const std::string& path, bool* found = nullptr) {
  std::ifstream in(path, std::ios::binary);
  if (found) *found = static_cast<bool>(in);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string record_file(uint32_t record) { return folder() + "/" + inserted() + "/record" + std::to_string(record); }

// The next card of the insertion list, taken off the list.
std::string next_insertion() {
  std::string path = folder() + "/insertions";
  std::string list = read_file(path);
  size_t end = list.find('\n');
  if (list.empty() || end == std::string::npos) return "";
  std::ofstream(path, std::ios::trunc) << list.substr(end + 1);
  return list.substr(0, end);
}

}  // namespace

#define CARD_API extern "C" __attribute__((visibility("default")))

CARD_API int ZYPCardInsertIHM(const char* prompt, const char*) {
  inserted() = next_insertion();
  log("insert \"" + std::string(prompt) + "\" -> " + (inserted().empty() ? "none" : inserted()));
  return inserted().empty() ? 1 : 0;
}

CARD_API int ZYPCardRemoveIHM(const char* prompt, const char*) {
  log("remove \"" + std::string(prompt) + "\"");
  inserted().clear();
  return 0;
}

CARD_API int ZYPGetCardSerialNumber(uint8_t serial[16]) {
  std::string text = read_file(folder() + "/" + inserted() + "/serial");
  std::memset(serial, 0, 16);
  std::memcpy(serial, text.data(), std::min<size_t>(16, text.size()));
  return 0;
}

CARD_API int ZYPCardPresentPin(void) {
  log("pin");
  return 0;
}

CARD_API int ZYPCardReadRecord(uint32_t record, uint8_t* data, uint32_t length) {
  bool found = false;
  std::string bytes = read_file(record_file(record), &found);
  if (!found) return 1;
  std::memset(data, 0, length);
  std::memcpy(data, bytes.data(), std::min<size_t>(length, bytes.size()));
  return 0;
}

CARD_API int ZYPCardCalcUnblockingCode(const uint8_t serial[16], uint8_t code[4]) {
  for (int i = 0; i < 4; ++i) code[i] = serial[i] ^ 0x5A;
  return 0;
}

CARD_API int ZYPCardUnblock(const char* code) {
  log("unblock " + std::string(code));
  return 0;
}

CARD_API int ZYPCardUserAuth(void) {
  log("auth");
  return 0;
}

CARD_API int ZYPCardEraseRecord(uint32_t record) {
  log("erase " + std::to_string(record));
  std::remove(record_file(record).c_str());
  return 0;
}

CARD_API int ZYPCardWriteRecord(uint32_t record, const uint8_t* data, uint32_t length) {
  const char* failing = std::getenv("FAKE_CARD_WRITE_FAILS");
  if (failing && std::strtoul(failing, nullptr, 10) == record) {
    log("write " + std::to_string(record) + " failed");
    return 1;
  }
  log("write " + std::to_string(record) + " " + std::to_string(length));
  std::ofstream(record_file(record), std::ios::binary).write(reinterpret_cast<const char*>(data), length);
  return 0;
}

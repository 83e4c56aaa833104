#include "cli/provider_lists.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "cli/results.h"
#include "zyp/zypclient.h"
#include "zyp/zypsess.h"

namespace zyp::cli {
namespace {

// A list that keeps growing between the count and the fill is given up
// after a few rounds rather than chased for ever.
constexpr int kListRounds = 4;
constexpr size_t kFirstCapacity = 16;

std::optional<uint32_t> parse_number(std::string_view text, int base) {
  uint32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string_view without_hex_prefix(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  return text;
}

std::string mechanism_text(uint32_t mechanism) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", mechanism);
  return text;
}

std::string known_tokens(const std::vector<ZYPCIPListEntry>& tokens) {
  std::string text;
  for (const ZYPCIPListEntry& token : tokens) text += (text.empty() ? "" : ", ") + std::to_string(token.value);
  return text.empty() ? "none" : text;
}

}  // namespace

uint32_t chosen_token(const Invocation& invocation) {
  const std::string* text = invocation.value("--token");
  if (!text) return static_cast<uint32_t>(ZYPGetPrimaryToken());
  auto token = parse_number(*text, 10);
  if (!token) throw UsageError("--token needs a token number, not \"" + printable(*text) + "\"");
  return *token;
}

std::vector<ZYPCIPListEntry> fetch_list(const ListCall& call, std::string_view what, uint32_t token) {
  std::vector<ZYPCIPListEntry> list(kFirstCapacity);
  for (int round = 0; round < kListRounds; ++round) {
    uint32_t count = static_cast<uint32_t>(list.size());
    int result = call(list.data(), &count);
    if (result != ZYPCIP_OK && result != ZYPCIP_TOO_SMALL) fail_with_code(what, result, token);
    list.resize(count);
    if (result == ZYPCIP_OK) return list;
  }
  fail(what, "the list kept changing while it was read; try again");
}

std::vector<ZYPCIPListEntry> list_tokens(std::string_view what) {
  return fetch_list([](ZYPCIPListEntry* list, uint32_t* count) { return ZYPCIPEnumToken(list, count); }, what,
                    static_cast<uint32_t>(ZYPGetPrimaryToken()));
}

std::vector<ZYPCIPListEntry> list_algorithms(uint32_t token, uint16_t type, std::string_view what) {
  return fetch_list(
      [&](ZYPCIPListEntry* list, uint32_t* count) { return ZYPCIPEnumAlgorithm(token, type, list, count); }, what,
      token);
}

std::vector<ZYPCIPListEntry> list_keys(uint32_t token, uint32_t mechanism, uint16_t type, std::string_view what) {
  return fetch_list(
      [&](ZYPCIPListEntry* list, uint32_t* count) { return ZYPCIPEnumKey(token, mechanism, type, list, count); },
      what, token);
}

void require_session(uint32_t token, std::string_view what) {
  if (ZYPGetSessionState(static_cast<int>(token)) != 0)
    fail(what, "no logged-in session on token " + std::to_string(token) + "; run `" + login_command(token) + "`");
}

void require_token(uint32_t token, std::string_view what) {
  std::vector<ZYPCIPListEntry> tokens = list_tokens(what);
  for (const ZYPCIPListEntry& entry : tokens)
    if (entry.value == token) return;
  fail(what, "there is no token " + std::to_string(token) + " (tokens: " + known_tokens(tokens) + ")");
}

std::vector<Algorithm> token_algorithms(uint32_t token, std::string_view what) {
  std::vector<Algorithm> algorithms;
  for (uint16_t type : kAlgorithmTypes) {
    for (const ZYPCIPListEntry& entry : list_algorithms(token, type, what)) {
      std::string name = printable_name(entry);
      algorithms.push_back({entry.value, type, name.empty() ? mechanism_text(entry.value) : name});
    }
  }
  return algorithms;
}

Algorithm find_algorithm(uint32_t token, std::string_view name, std::string_view what) {
  std::vector<Algorithm> algorithms = token_algorithms(token, what);
  auto mechanism = parse_number(without_hex_prefix(name), 16);
  bool hex = name.size() > 2 && without_hex_prefix(name).size() == name.size() - 2;
  for (const Algorithm& algorithm : algorithms) {
    bool same_name = algorithm.name.size() == name.size() &&
                     ::strncasecmp(algorithm.name.c_str(), name.data(), name.size()) == 0;
    if (same_name || (hex && mechanism && *mechanism == algorithm.mechanism)) return algorithm;
  }
  fail(what, "token " + std::to_string(token) + " has no algorithm \"" + printable(name) +
                 "\"; `zyp keys algorithms` lists them");
}

std::string printable(std::string_view text) {
  std::string shown(text);
  for (char& c : shown) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return shown;
}

std::string printable_name(const ZYPCIPListEntry& entry) {
  return printable(std::string_view(entry.name, ::strnlen(entry.name, sizeof entry.name)));
}

std::string key_id_text(uint32_t key) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", key);
  return text;
}

uint32_t parse_key_id(std::string_view text) {
  std::string_view digits = without_hex_prefix(text);
  auto key = digits.size() <= 8 ? parse_number(digits, 16) : std::nullopt;
  if (!key) throw UsageError("a key identifier is 1 to 8 hexadecimal digits, not \"" + printable(text) + "\"");
  return *key;
}

}  // namespace zyp::cli

// zyp keys list|algorithms|new|delete|test: the secret keys of a token, all
// through the provider server.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

#include "cli/commands.h"
#include "cli/provider_lists.h"
#include "cli/results.h"
#include "cli/server_control.h"
#include "cli/terminal_input.h"
#include "zyp/zypclient.h"
#include "zyp/zypsess.h"
#include "zyp/zyptools.h"

namespace zyp::cli {
namespace {

constexpr size_t kMostLabelBytes = 255;
constexpr uint32_t kSampleBlocks = 4;
constexpr size_t kShownCipherBytes = 16;
constexpr char kSampleText[] = "Quillmarsh Folder sample buffer. ";

struct ListedKey {
  uint32_t key;
  std::string label;
  std::string algorithms;
};

void add_listed_key(std::vector<ListedKey>& keys, const ZYPCIPListEntry& entry, const std::string& algorithm) {
  for (ListedKey& listed : keys) {
    if (listed.key == entry.value) {
      listed.algorithms += ", " + algorithm;
      return;
    }
  }
  keys.push_back({entry.value, printable_name(entry), algorithm});
}

uint32_t reach_token(const Invocation& invocation, std::string_view what) {
  uint32_t token = chosen_token(invocation);
  ensure_server(what);
  require_token(token, what);
  return token;
}

bool blank(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c) != 0; });
}

std::string checked_label(const std::string& label) {
  if (label.empty()) throw UsageError("the key name is empty");
  // The token drops trailing blanks from labels: a blank name would list as nothing.
  if (blank(label)) throw UsageError("the key name is blank (only white space)");
  if (label.size() > kMostLabelBytes)
    throw UsageError("the key name is longer than " + std::to_string(kMostLabelBytes) + " bytes");
  return label;
}

// Asks for the sentence twice; both must be the same and not empty.
void read_sentence(Secret& sentence, std::string_view what) {
  read_confirmed_secret("sentence", sentence, what);
  if (sentence.empty()) fail(what, "the sentence is empty");
}

// Every key of the token, with the names of the algorithms it serves. Listing
// also registers the keys with the provider, which the calls that name a key
// by its identifier rely on.
std::vector<ListedKey> token_keys(uint32_t token, std::string_view what) {
  std::vector<ListedKey> keys;
  for (const Algorithm& algorithm : token_algorithms(token, what))
    for (const ZYPCIPListEntry& entry : list_keys(token, algorithm.mechanism, algorithm.type, what))
      add_listed_key(keys, entry, algorithm.name);
  return keys;
}

bool listed_for(uint32_t token, const Algorithm& algorithm, uint32_t key, std::string_view what) {
  std::vector<ZYPCIPListEntry> keys = list_keys(token, algorithm.mechanism, algorithm.type, what);
  return std::any_of(keys.begin(), keys.end(), [&](const ZYPCIPListEntry& entry) { return entry.value == key; });
}

[[noreturn]] void fail_no_such_key(uint32_t token, uint32_t key, std::string_view what, std::string_view detail = {}) {
  fail(what, "token " + std::to_string(token) + " has no key " + key_id_text(key) + std::string(detail) +
                 " (see `zyp keys list`)");
}

void confirm_deletion(const Invocation& invocation, uint32_t key, const std::string& label, std::string_view what) {
  if (invocation.has("--yes")) return;
  auto answer = confirm_on_terminal("Delete key " + key_id_text(key) + " \"" + label +
                                    "\"? Files encrypted with it can no longer be decrypted.");
  if (!answer) throw UsageError("deleting a key needs a confirmation: add --yes");
  if (!*answer) fail(what, "not confirmed");
}

Algorithm first_encryption_algorithm_of(uint32_t token, uint32_t key, std::string_view what) {
  for (const Algorithm& algorithm : token_algorithms(token, what))
    if (algorithm.type == ZYPCIP_TYPE_ENCRYPTION && listed_for(token, algorithm, key, what)) return algorithm;
  fail_no_such_key(token, key, what, " for encryption");
}

Algorithm named_algorithm_of(uint32_t token, uint32_t key, const std::string& name, std::string_view what) {
  Algorithm algorithm = find_algorithm(token, name, what);
  if (!listed_for(token, algorithm, key, what)) fail_no_such_key(token, key, what, " for " + algorithm.name);
  return algorithm;
}

std::vector<uint8_t> sample_buffer(uint32_t block_size) {
  std::vector<uint8_t> sample(static_cast<size_t>(block_size) * kSampleBlocks);
  constexpr size_t kTextLength = sizeof kSampleText - 1;
  for (size_t i = 0; i < sample.size(); ++i) sample[i] = static_cast<uint8_t>(kSampleText[i % kTextLength]);
  return sample;
}

std::string hex_text(const std::vector<uint8_t>& bytes, size_t most) {
  size_t count = std::min(bytes.size(), most);
  std::string text(2 * count + 1, '\0');
  ZYPBinToAscii(bytes.data(), text.data(), static_cast<int>(count));
  text.resize(2 * count);
  return text;
}

// The key named by the command's operand, on a token of a running server.
struct KeyOnToken {
  uint32_t key;
  uint32_t token;
  std::string what;
};

KeyOnToken key_operand(const Invocation& invocation, std::string_view verb) {
  uint32_t key = parse_key_id(invocation.operands.at(0));
  std::string what = std::string(verb) + " key " + key_id_text(key);
  uint32_t token = reach_token(invocation, what);
  return {key, token, what};
}

// The data after an in-place encryption or decryption in the server.
using InPlaceCall = int (*)(uint32_t token, uint32_t mechanism, uint32_t key, uint8_t* buffer, uint32_t* length);
std::vector<uint8_t> transformed(InPlaceCall call, const KeyOnToken& target, const Algorithm& algorithm,
                                 std::vector<uint8_t> data) {
  auto length = static_cast<uint32_t>(data.size());
  check_result(call(target.token, algorithm.mechanism, target.key, data.data(), &length), target.what, target.token);
  data.resize(std::min<size_t>(length, data.size()));
  return data;
}

// Marks a cryptographic operation as running, so that no session is closed
// under it.
class ActivityMark {
 public:
  ActivityMark() { ZYPBeginActivity(); }
  ~ActivityMark() { ZYPEndActivity(); }
  ActivityMark(const ActivityMark&) = delete;
  ActivityMark& operator=(const ActivityMark&) = delete;
};

}  // namespace

int run_keys_algorithms(const Invocation& invocation) {
  std::string what = "list the algorithms";
  uint32_t token = reach_token(invocation, what);
  std::vector<Algorithm> algorithms = token_algorithms(token, what);
  std::printf("mechanism\ttype\tname\n");
  for (const Algorithm& algorithm : algorithms) {
    std::printf("0x%08X\t%s\t%s\n", algorithm.mechanism,
                algorithm.type == ZYPCIP_TYPE_ENCRYPTION ? "encryption" : "signature", algorithm.name.c_str());
  }
  return kExitOk;
}

int run_keys_list(const Invocation& invocation) {
  std::string what = "list keys";
  uint32_t token = reach_token(invocation, what);
  std::vector<ListedKey> keys = token_keys(token, what);
  std::printf("key\tlabel\talgorithms\n");
  for (const ListedKey& key : keys)
    std::printf("%s\t%s\t%s\n", key_id_text(key.key).c_str(), key.label.c_str(), key.algorithms.c_str());
  return kExitOk;
}

int run_keys_new(const Invocation& invocation) {
  std::string label = checked_label(invocation.operands.at(0));
  std::string what = "create key \"" + printable(label) + "\"";
  uint32_t token = reach_token(invocation, what);
  Algorithm algorithm = find_algorithm(token, *invocation.value("--algorithm"), what);
  require_session(token, what);
  uint32_t key = 0;
  int result = 0;
  if (invocation.has("--from-sentence")) {
    Secret sentence;
    read_sentence(sentence, what);
    result = ZYPCIPGenerateKeyFromSentence(token, algorithm.mechanism, algorithm.type, label.c_str(), sentence.c_str(),
                                           &key);
  } else {
    result = ZYPCIPGenerateRandomKey(token, algorithm.mechanism, algorithm.type, label.c_str(), &key);
  }
  check_result(result, what, token);
  std::printf("%s\n", key_id_text(key).c_str());
  return kExitOk;
}

int run_keys_delete(const Invocation& invocation) {
  KeyOnToken target = key_operand(invocation, "delete");
  std::vector<ListedKey> keys = token_keys(target.token, target.what);
  auto listed = std::find_if(keys.begin(), keys.end(), [&](const ListedKey& k) { return k.key == target.key; });
  if (listed == keys.end()) fail_no_such_key(target.token, target.key, target.what);
  confirm_deletion(invocation, target.key, listed->label, target.what);
  check_result(ZYPCIPDeleteKey(target.token, target.key), target.what, target.token);
  std::printf("key %s deleted\n", key_id_text(target.key).c_str());
  return kExitOk;
}

int run_keys_test(const Invocation& invocation) {
  KeyOnToken target = key_operand(invocation, "test");
  const std::string* named = invocation.value("--algorithm");
  Algorithm algorithm = named ? named_algorithm_of(target.token, target.key, *named, target.what)
                              : first_encryption_algorithm_of(target.token, target.key, target.what);
  uint32_t block_size = 0;
  check_result(ZYPCIPGetBlockSize(target.token, algorithm.mechanism, &block_size), target.what, target.token);
  if (block_size == 0) fail(target.what, "the token reports a block size of 0 for " + algorithm.name);

  const std::vector<uint8_t> sample = sample_buffer(block_size);
  std::vector<uint8_t> cipher, plain;
  {
    ActivityMark running;
    cipher = transformed(ZYPCIPCryptBuffer, target, algorithm, sample);
    plain = transformed(ZYPCIPDecryptBuffer, target, algorithm, cipher);
  }
  if (cipher == sample) fail(target.what, "the encrypted buffer is the same as the original");
  if (plain != sample) fail(target.what, "the decrypted buffer differs from the original");
  std::printf("key %s with %s: %zu bytes encrypted, first bytes %s\n", key_id_text(target.key).c_str(),
              algorithm.name.c_str(), cipher.size(), hex_text(cipher, kShownCipherBytes).c_str());
  std::printf("decrypted: the original came back\n");
  return kExitOk;
}

}  // namespace zyp::cli

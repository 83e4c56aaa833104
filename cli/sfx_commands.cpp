// zyp sfx create and zyp sfx extract: self-extracting archives made with the
// generator of libzypsfx and read with the extractor's own reader.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/provider_lists.h"
#include "cli/resource_module.h"
#include "cli/results.h"
#include "cli/server_control.h"
#include "cli/terminal_input.h"
#include "sfx/archive_format.h"
#include "sfx/extractor.h"
#include "sfx/generator.h"
#include "zyp/zypsess.h"
#include "zyp/zyptools.h"

namespace zyp::cli {
namespace {

constexpr size_t kMinPasswordLength = 10;


void read_password(Secret& password, std::string_view what) {
  read_confirmed_secret("password", password, what);
  if (password.size() < kMinPasswordLength || password.size() > sfx::kMaxPasswordLength) {
    fail(what, "the password must have " + std::to_string(kMinPasswordLength) + " to " +
                   std::to_string(sfx::kMaxPasswordLength) + " characters");
  }
}

void require_regular_files(const std::vector<std::string>& paths, std::string_view what) {
  for (const std::string& path : paths) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) fail(what, path + " does not exist");
    if (!S_ISREG(info.st_mode)) fail(what, path + " is not a regular file (folders cannot be packed)");
  }
}

Algorithm archive_algorithm(uint32_t token, const Invocation& invocation, std::string_view what) {
  if (const std::string* named = invocation.value("--algorithm")) return find_algorithm(token, *named, what);
  std::vector<ZYPCIPListEntry> listed = list_algorithms(token, ZYPCIP_TYPE_ENCRYPTION, what);
  if (listed.empty()) fail(what, "token " + std::to_string(token) + " offers no encryption algorithm");
  return {listed[0].value, ZYPCIP_TYPE_ENCRYPTION, printable_name(listed[0])};
}

// The generator's messages become this command's failure line.
sfx::Services command_line_services(const ResourceModule& resources, std::string& failure) {
  sfx::Services services = sfx::suite_services(resources.get());
  const ZYPResourceModule* module = resources.get();
  services.message = [module, &failure](uint32_t id, uint32_t, const char* first, const char* second) {
    if (failure.empty()) failure = sfx::module_text(module, id, first, second);
    return 1;
  };
  return services;
}

}  // namespace

int run_sfx_create(const Invocation& invocation) {
  const std::string& output = invocation.operands.at(0);
  std::vector<std::string> paths(invocation.operands.begin() + 1, invocation.operands.end());
  std::string what = "create the archive " + printable(output);
  require_regular_files(paths, what);
  std::string stub = sfx::stub_path();
  if (!sfx::stub_runs(stub)) fail(what, "the extractor " + stub + " does not run; reinstall the suite");

  uint32_t token = chosen_token(invocation);
  ensure_server(what);
  require_token(token, what);
  Algorithm algorithm = archive_algorithm(token, invocation, what);
  uint32_t key_bits = sfx::key_bits_from_name(algorithm.name);
  if (!sfx::valid_key_bits(key_bits)) fail(what, algorithm.name + " has no key size of 40, 56, 112 or 168 bits");
  if (ZYPGetSessionState(static_cast<int>(token)) != 0) {
    fail(what, "no logged-in session on token " + std::to_string(token) + "; run `" + login_command(token) + "`");
  }

  sfx::GeneratorContext context;
  {
    Secret password;
    read_password(password, what);
    std::memcpy(context.password.data(), password.c_str(), password.size());
  }
  context.output = output;
  context.key_bits = key_bits;
  context.token = token;
  context.algo = algorithm.mechanism;
  context.paths = paths;

  ResourceModule resources("ZYPSFX");
  std::string failure;
  sfx::write_archive(context, command_line_services(resources, failure), stub);
  if (!failure.empty()) fail(what, failure);
  std::printf("%s: %zu file%s, %s (%u-bit key)\n", output.c_str(), paths.size(), paths.size() == 1 ? "" : "s",
              algorithm.name.c_str(), key_bits);
  return kExitOk;
}

int run_sfx_extract(const Invocation& invocation) {
  const std::string& path = invocation.operands.at(0);
  std::string what = "extract " + printable(path);
  std::string error;
  auto archive = sfx::ArchiveFile::open(path, error);
  if (!archive) fail(what, error);
  {
    Secret password;
    read_secret("Password: ", password, what, "the input ended before the password");
    if (!archive->unlock(password.c_str(), error)) fail(what, error);
  }
  if (invocation.has("-l")) {
    std::printf("size\tname\n");
    for (const sfx::EntryView& entry : archive->entries())
      std::printf("%u\t%s\n", entry.size, printable(entry.name).c_str());
    return kExitOk;
  }
  const std::string* folder = invocation.value("-d");
  if (!archive->extract(folder ? *folder : ".", invocation.has("-o"), error)) fail(what, error);
  return kExitOk;
}

}  // namespace zyp::cli

// zyp: the command-line front end of Quillmarsh Folder. Every call goes to
// the crypto provider through the client library and the provider server.
#include <cstdint>

#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/server_control.h"

namespace {

using zyp::cli::Command;
using zyp::cli::Noun;
using zyp::cli::Option;

constexpr char kAbout[] =
    "The command-line front end of Quillmarsh Folder: the provider server, the\n"
    "tokens and their secret keys, files and folders, the settings and the\n"
    "hook's request server. Keys never leave the token; every cryptographic\n"
    "operation runs in the provider server, which token and keys commands start\n"
    "when none runs and which keeps running until `zyp server stop`.";

constexpr Option kTokenOption{"--token", "N", "the token (slot number); default: the primary token"};

constexpr Option kStartOptions[] = {
    {"--foreground", "", "keep the server in this terminal until it is stopped (Ctrl-C stops it)"}};
constexpr Option kTokenOnly[] = {kTokenOption};
constexpr Option kNewOptions[] = {
    {"--algorithm", "ALGORITHM", "the algorithm, by its name as `zyp keys algorithms` lists it (or 0xMECHANISM)", true},
    {"--from-sentence", "", "derive the key from a pass sentence instead of making a random one"},
    kTokenOption};
constexpr Option kDeleteOptions[] = {{"--yes", "", "do not ask for a confirmation"}, kTokenOption};
constexpr Option kTestOptions[] = {
    {"--algorithm", "ALGORITHM", "the algorithm to test with; default: the first encryption algorithm of the key"},
    kTokenOption};

constexpr Option kEraseOptions[] = {
    {"--passes", "N", "overwrite N times (0 to 35); default: the SecureEraseCycle setting"},
    {"--yes", "", "do not ask for a confirmation"},
    {"--quiet", "", "show no progress bar"}};
constexpr Option kExcludeAddOptions[] = {
    {"--value", "N", "1 (default): neither the folder nor anything below it is encrypted; 0: all may be; "
                     "another number: the folder itself is not encrypted, its subfolders may be"}};

constexpr Option kHookStartOptions[] = {
    {"--foreground", "", "keep the request server in this terminal until it is stopped (Ctrl-C stops it)"}};

constexpr Option kSfxCreateOptions[] = {
    {"--algorithm", "NAME", "the token's encryption algorithm (default: its first); its name gives the key size"},
    {"--token", "N", "the token whose algorithms and recovery field serve (default: the primary token)"}};

constexpr Option kSfxExtractOptions[] = {{"-d", "DIR", "write the files into DIR (default: the current folder)"},
                                         {"-l", "", "list the files without writing them"},
                                         {"-o", "", "overwrite files that exist already"}};

constexpr Noun kNouns[] = {
    {"server", "The provider server: the one process that holds the tokens' sessions and keys."},
    {"token", "The tokens and their logged-in sessions."},
    {"keys", "The secret keys of a token, named by 8-digit hexadecimal identifiers."},
    {"settings", "The settings of the file library and the file-system hook."},
    {"hook", "The hook's request server: it encrypts what is saved into encrypted folders."},
    {"exclude", "The user's exclusion list: folders whose files are not encrypted."},
    {"sfx", "Self-extracting archives: files packed behind a password, opened without the suite."},
};

const Command kCommands[] = {
    {"server", "start", "", 0, 0, kStartOptions, "start the provider server and keep it running",
     "Starts the provider server with a keeper process that holds it until\n"
     "`zyp server stop`. The server inherits this environment, so its dialogs\n"
     "(PIN, token initialisation) use the user interface chosen by ZYP_UI here:\n"
     "in the background it has no terminal, so it answers them from a script\n"
     "(ZYP_UI=script:FILE); for prompts on a terminal, run it with --foreground\n"
     "in a terminal of its own. Starting a server that runs already does nothing.\n"
     "The background server's messages go to zypserver.log in the runtime folder.",
     zyp::cli::run_server_start},
    {"server", "stop", "", 0, 0, {}, "end the provider server (its sessions close)",
     "Returns once the server, and the process that kept it running, have ended.",
     zyp::cli::run_server_stop},
    {"server", "status", "", 0, 0, {}, "tell whether a provider server is running",
     "Prints \"running\" or \"not running\".", zyp::cli::run_server_status},

    {"token", "status", "", 0, 0, kTokenOnly, "list the tokens with their session state",
     "One tab-separated line per token: number, whether it is the primary token,\n"
     "session (open, none, unusable) and name. Starts no server.",
     zyp::cli::run_token_status},
    {"token", "login", "", 0, 0, kTokenOnly, "open a logged-in session on a token",
     "The server asks for the PIN; a token that was never set up is offered for\n"
     "initialisation first (new PIN and its confirmation).",
     zyp::cli::run_token_login},
    {"token", "logout", "", 0, 0, kTokenOnly, "close the session of a token",
     "Refused while a cryptographic operation is running. A token without a\n"
     "session has nothing to close: says so and succeeds.",
     zyp::cli::run_token_logout},
    {"token", "passwd", "", 0, 0, kTokenOnly, "change the PIN of a token (in the server's dialog)",
     "Needs a logged-in session.", zyp::cli::run_token_passwd},

    {"keys", "list", "", 0, 0, kTokenOnly, "list the keys of a token",
     "One tab-separated line per key: identifier, label and the algorithms it\n"
     "serves. Needs a logged-in session.",
     zyp::cli::run_keys_list},
    {"keys", "algorithms", "", 0, 0, kTokenOnly, "list the encryption and signature algorithms of a token",
     "One tab-separated line per algorithm: mechanism, type and name.", zyp::cli::run_keys_algorithms},
    {"keys", "new", "NAME", 1, 1, kNewOptions, "create a key and print its identifier",
     "A random key, or with --from-sentence a key derived from a pass sentence,\n"
     "asked twice without echo on a terminal, or read as two lines from standard\n"
     "input otherwise. The same sentence always gives the same key.",
     zyp::cli::run_keys_new},
    {"keys", "delete", "ID", 1, 1, kDeleteOptions, "delete a key",
     "Files encrypted with the key can no longer be decrypted. Asks for a\n"
     "confirmation on the terminal unless --yes is given.",
     zyp::cli::run_keys_delete},
    {"keys", "test", "ID", 1, 1, kTestOptions, "encrypt and decrypt a sample buffer with a key",
     "Encrypts a sample of a few blocks in the server, decrypts it again, checks\n"
     "that the original came back and shows the first encrypted bytes.",
     zyp::cli::run_keys_test},

    {"info", "", "PATH...", 1, SIZE_MAX, {}, "show whether files are encrypted, and with what",
     "For an encrypted file: its key identifier and, through a running provider\n"
     "server with a logged-in session, the key's label; the algorithm, the header\n"
     "options, the header's label, the plain length and which recovery fields it\n"
     "holds. For a folder: whether it is marked for encryption, and its mark's key,\n"
     "algorithm and options. Every path is shown; the exit code is 1 when one failed.",
     zyp::cli::run_info},
    {"erase", "", "PATH...", 1, SIZE_MAX, kEraseOptions, "erase files and folders beyond recovery",
     "Overwrites every byte of each file N times, each pass forced to the disk,\n"
     "then deletes it; a folder is erased with everything in it, in name order,\n"
     "and its first failure keeps the folder. A symbolic link is removed without\n"
     "touching what it names. Asks for a confirmation on the terminal unless\n"
     "--yes is given. Folders and files over 4 MiB show a progress bar on a\n"
     "terminal.",
     zyp::cli::run_erase},

    {"settings", "show", "[NAME]", 0, 1, {}, "list the settings with their values",
     "One tab-separated line per setting: name, value and meaning. A user value\n"
     "wins over a machine value.",
     zyp::cli::run_settings_show},
    {"settings", "set", "NAME VALUE", 2, 2, {}, "change a setting",
     "Writes the value to the user's settings (AutoDecrypt: the machine's), where\n"
     "every program of the suite reads it. `zyp settings show` lists the names.",
     zyp::cli::run_settings_set},

    {"exclude", "list", "", 0, 0, {}, "list the folders of the exclusion list",
     "One tab-separated line per folder: path, value and what it means.", zyp::cli::run_exclude_list},
    {"exclude", "add", "PATH", 1, 1, kExcludeAddOptions, "add a folder to the exclusion list (or change its value)",
     "The path is stored absolute. The file-system hook gets the new list at once.", zyp::cli::run_exclude_add},
    {"exclude", "remove", "PATH", 1, 1, {}, "remove a folder from the exclusion list",
     "The path is made absolute as `zyp exclude add` stores it.", zyp::cli::run_exclude_remove},

    {"hook", "start", "", 0, 0, kHookStartOptions, "start the hook's request server and keep it running",
     "Starts the request server of the file-system hook in a keeper process that\n"
     "holds it until `zyp hook stop`; it carries out what the hook asks for, so\n"
     "that files saved into encrypted folders become encrypted. Starts the\n"
     "provider server too when none runs. Its messages go to zyphook.log in the\n"
     "runtime folder. Starting it when a request server runs does nothing.",
     zyp::cli::run_hook_start},
    {"hook", "stop", "", 0, 0, {}, "end the request server that `zyp hook start` started",
     "Returns once its keeper process has ended.", zyp::cli::run_hook_stop},
    {"hook", "status", "", 0, 0, {}, "tell whether a request server is registered with the hook",
     "Prints \"not running\", or \"running\" and which process runs it.", zyp::cli::run_hook_status},

    {"sfx", "create", "OUTPUT FILE...", 2, SIZE_MAX, kSfxCreateOptions, "pack files into a self-extracting archive",
     "Writes OUTPUT: the extractor program followed by the files, compressed and\n"
     "encrypted under a key derived from a password (10 to 100 characters), asked\n"
     "twice without echo on a terminal, or read as two lines of standard input\n"
     "otherwise. The recipient runs OUTPUT (no installation needed) and types the\n"
     "password. Files encrypted by the suite are packed in clear and encrypted\n"
     "again on disk. Needs a logged-in session.",
     zyp::cli::run_sfx_create},
    {"sfx", "extract", "ARCHIVE", 1, 1, kSfxExtractOptions, "unpack a self-extracting archive without running it",
     "Asks for the password (without echo on a terminal, else one line of\n"
     "standard input) and writes the files into the current folder or DIR.\n"
     "Existing files are kept (the command fails) unless -o is given.",
     zyp::cli::run_sfx_extract},
};

}  // namespace

int main(int argc, char** argv) { return zyp::cli::run_command_line(argc, argv, kNouns, kCommands, kAbout); }

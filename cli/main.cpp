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

constexpr Option kQuietOption{"--quiet", "", "show no progress bar"};
constexpr Option kEncryptOptions[] = {
    {"--key", "KEY", "the key: its identifier (as `zyp keys list` shows it) or its label", true},
    {"--compress", "", "compress the contents before encrypting them; default: the ActiveCompression setting"},
    {"--label", "TEXT", "a label of up to 16 bytes kept in clear in the file's header (and the folder's mark)"},
    {"--to", "DEST", "write the encrypted file to DEST (a new file, or a folder for several files) instead of in "
                     "place"},
    kQuietOption};
constexpr Option kDecryptOptions[] = {
    {"--to", "DEST", "write the decrypted file to DEST (a new file, or a folder for several files) instead of in "
                     "place"},
    kQuietOption};
constexpr Option kEraseOptions[] = {
    {"--passes", "N", "overwrite N times (0 to 35); default: the SecureEraseCycle setting"},
    {"--yes", "", "do not ask for a confirmation"},
    kQuietOption};
constexpr Option kExcludeAddOptions[] = {
    {"--value", "N", "1 (default): neither the folder nor anything below it is encrypted; 0: all may be; "
                     "another number: the folder itself is not encrypted, its subfolders may be"}};

constexpr Option kBackupOptions[] = {{"--yes", "", "replace an existing backup without asking"}};
constexpr Option kRestoreOptions[] = {{"--yes", "", "do not ask for a confirmation"}};
constexpr Option kCreateSharesOptions[] = {
    {"--disks", "N", "the number of share disks to write, 1 to 7", true},
    {"--needed", "K", "how many of them rebuild the key, 1 to N", true},
    {"--out", "DIR", "where the folders disk-1 .. disk-N with their krkey.bin go", true},
    kTokenOption};
constexpr Option kRecoverOptions[] = {
    {"--shares", "DIR", "a folder holding a share file krkey.bin; list the other folders after it", true},
    kTokenOption};

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
    {"recovery", "The recovery key: files' keys brought back by whoever holds enough share disks."},
    {"exclude", "The user's exclusion list: folders whose files are not encrypted."},
    {"folder", "What may be done with a folder tree."},
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
    {"keys", "backup", "[DIR]", 0, 1, kBackupOptions, "save a copy of the key store file",
     "Copies the primary token's key store (ambrel.ksl, sealed under the PIN) into\n"
     "DIR, by default the folder of the KeyBackupPath setting (A:\\ is the key-disk\n"
     "folder, C:\\ the home folder). The copy gets mode 0600. An existing backup is\n"
     "replaced only when confirmed on the terminal or with --yes. With a smart card\n"
     "as the primary token the card is copied instead.",
     zyp::cli::run_keys_backup},
    {"keys", "restore", "DIR", 1, 1, kRestoreOptions, "put a saved key store back in place",
     "Replaces the primary token's key store by DIR/ambrel.ksl; keys made since that\n"
     "backup are lost, so it asks first (--yes for scripts). The open session is\n"
     "closed first and opened again afterwards, with the PIN of the restored store.\n"
     "The previous store is kept beside it as ambrel.ksl.bak; when the copy fails\n"
     "the previous store stays in place.",
     zyp::cli::run_keys_restore},

    {"encrypt", "", "PATH...", 1, SIZE_MAX, kEncryptOptions, "encrypt files and folders in place",
     "Each file is rewritten in place: it keeps its inode, owner, mode and hard\n"
     "links, and an interruption (even a crash) leaves it whole, old or new. An\n"
     "encrypted file is encrypted again with the new key. A folder is marked for\n"
     "encryption and every file of its tree is encrypted; once `zyp hook start`\n"
     "runs, files saved into it later are encrypted too. Needs a logged-in\n"
     "session on the primary token. Files over 4 MiB and folders show a progress\n"
     "bar on a terminal. Every path is done; the exit code is 1 when one failed.",
     zyp::cli::run_encrypt},
    {"decrypt", "", "PATH...", 1, SIZE_MAX, kDecryptOptions, "decrypt files and folders in place",
     "Each file is checked against its check value before anything changes and\n"
     "is rewritten in place as `zyp encrypt` does; a file decrypted inside an\n"
     "encrypted folder stays clear. A folder loses its mark and every encrypted\n"
     "file of its tree is decrypted. The key must be in the primary token, with a\n"
     "logged-in session. Every path is done; the exit code is 1 when one failed.",
     zyp::cli::run_decrypt},
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

    {"folder", "check", "PATH...", 1, SIZE_MAX, {}, "tell whether folders may be encrypted or decrypted",
     "For each folder: whether `zyp encrypt` may mark and encrypt it (not a\n"
     "file-system root or mount point, a network or CD-ROM file system, the Start\n"
     "Menu, an excluded or an already marked folder), whether `zyp decrypt` may\n"
     "decrypt it (its mark's key in the token), and whether every encrypted file\n"
     "of its tree can be decrypted now. Changes nothing.",
     zyp::cli::run_folder_check},

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

    {"recovery", "create-shares", "", 0, 0, kCreateSharesOptions, "install a recovery key and write its share disks",
     "Makes a recovery key pair on the token and installs its public half: every\n"
     "file encrypted from then on carries its key wrapped under it (the first\n"
     "recovery field). The private half is written only as N share files,\n"
     "DIR/disk-1/krkey.bin .. DIR/disk-N/krkey.bin, any K of which rebuild it;\n"
     "with K = 1 each file holds the whole private key. Copy each file to a disk\n"
     "of its own, keep the disks apart and remove DIR.\n"
     "WARNING: whoever holds K of these disks can read every file encrypted\n"
     "after the key was installed; the share rule lets some smaller groups do so\n"
     "as well (2 of 7 disks when K is 4), which the command says when it applies.\n"
     "Refused when the token has a recovery key already.",
     zyp::cli::run_recovery_create_shares},
    {"recover", "", "FILE [DIR...]", 1, SIZE_MAX, kRecoverOptions, "bring a file's key back from share folders",
     "Rebuilds the recovery private key from the share files (krkey.bin) of the\n"
     "folders given with --shares DIR and after it (as many as the set needs, each\n"
     "a different disk), opens the file's first recovery field with it and puts\n"
     "the file's key into the token's logged-in session, under the key identifier\n"
     "of the file's header, until the session closes. Decrypt the file then.",
     zyp::cli::run_recover},

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

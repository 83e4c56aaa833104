#pragma once
// The commands of zyp, one function each (the table is in main.cpp).
#include "cli/command_line.h"

namespace zyp::cli {

int run_token_status(const Invocation& invocation);
int run_token_login(const Invocation& invocation);
int run_token_logout(const Invocation& invocation);
int run_token_passwd(const Invocation& invocation);

int run_keys_list(const Invocation& invocation);
int run_keys_algorithms(const Invocation& invocation);
int run_keys_new(const Invocation& invocation);
int run_keys_delete(const Invocation& invocation);
int run_keys_test(const Invocation& invocation);
int run_keys_backup(const Invocation& invocation);
int run_keys_restore(const Invocation& invocation);

int run_encrypt(const Invocation& invocation);
int run_decrypt(const Invocation& invocation);
int run_folder_check(const Invocation& invocation);
int run_info(const Invocation& invocation);
int run_erase(const Invocation& invocation);

int run_settings_show(const Invocation& invocation);
int run_settings_set(const Invocation& invocation);
int run_exclude_list(const Invocation& invocation);
int run_exclude_add(const Invocation& invocation);
int run_exclude_remove(const Invocation& invocation);

int run_hook_start(const Invocation& invocation);
int run_hook_stop(const Invocation& invocation);
int run_hook_status(const Invocation& invocation);

int run_recovery_create_shares(const Invocation& invocation);
int run_recover(const Invocation& invocation);

int run_sfx_create(const Invocation& invocation);
int run_sfx_extract(const Invocation& invocation);

}  // namespace zyp::cli

#pragma once
#include "provider/frame.h"

namespace zyp::prov {

// Turns the inactivity watcher off and reads the presence-check setting
// from the profile (user scope, then machine scope).
void reload_config(SharedVariables& shared);

}  // namespace zyp::prov

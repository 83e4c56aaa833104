// Process attach and detach of libzypprov.so.
#include <cstdlib>

#include "provider/frame.h"

namespace {

void detach_at_exit() { zyp::prov::detach_process(); }

// At exit() the static objects of every library go before the libraries'
// destructors run, while the watcher threads would still be calling into
// them; registered after the libraries this one uses have started, this
// handler detaches first. On dlclose the destructor below comes first and
// the handler finds nothing left to do.
__attribute__((constructor)) void on_load() {
  if (zyp::prov::attach_process()) std::atexit(detach_at_exit);
}

__attribute__((destructor)) void on_unload() { zyp::prov::detach_process(); }

}  // namespace

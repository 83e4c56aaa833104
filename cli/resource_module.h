#pragma once
// A language module loaded for the length of a command (message texts for
// the dialogs and messages that the libraries show on its behalf).
#include "zyp/zyptools.h"

namespace zyp::cli {

class ResourceModule {
 public:
  explicit ResourceModule(const char* stem) : module_(ZYPLoadResource(stem)) {}
  ~ResourceModule() {
    if (module_) ZYPFreeResource(module_);
  }
  ResourceModule(const ResourceModule&) = delete;
  ResourceModule& operator=(const ResourceModule&) = delete;
  ZYPResourceModule* get() const { return module_; }

 private:
  ZYPResourceModule* module_;
};

}  // namespace zyp::cli

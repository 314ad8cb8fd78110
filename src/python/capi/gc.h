// Pauses of the cyclic garbage collector while many acyclic objects are built.
#pragma once

#include "python/capi/handle.h"

namespace mavelin::py {

// Keeps the cyclic garbage collector from running while many acyclic objects are built
// (records, lists, strings): each collection would walk every object made so far.
class GcPause {
  public:
    GcPause() noexcept : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

  private:
    int was_enabled_;
};

}  // namespace mavelin::py

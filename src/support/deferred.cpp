#include "support/deferred.hpp"

namespace img_util {

namespace {
thread_local DeferredEffects* t_deferring = nullptr;
}  // namespace

DeferredEffects* deferring() { return t_deferring; }

DeferringScope::DeferringScope(DeferredEffects& effects) : previous_(t_deferring) {
  t_deferring = &effects;
}

DeferringScope::~DeferringScope() { t_deferring = previous_; }

}  // namespace img_util

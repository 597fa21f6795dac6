// The Python class StateTracker: its definition, registered by the module.
#pragma once

#include "binding/class_def.h"

namespace brackwell::state_tracker {

// StateTracker's type spec and type object.
binding::ClassDef& state_tracker_class();

}  // namespace brackwell::state_tracker

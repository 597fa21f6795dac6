// The Python class SchemaDiffEngine: its definition, registered by the module.
#pragma once

#include "binding/class_def.h"

namespace brackwell::migration_diff {

// SchemaDiffEngine's type spec and type object.
binding::ClassDef& schema_diff_engine_class();

}  // namespace brackwell::migration_diff

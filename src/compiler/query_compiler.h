// The Python class QueryCompiler: its definition, registered by the module.
#pragma once

#include "binding/class_def.h"

namespace brackwell::compiler {

// QueryCompiler's type spec and type object.
binding::ClassDef& query_compiler_class();

}  // namespace brackwell::compiler

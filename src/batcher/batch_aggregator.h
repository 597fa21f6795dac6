// The Python class BatchAggregator: its definition, registered by the module.
#pragma once

#include "binding/class_def.h"

namespace brackwell::batcher {

// BatchAggregator's type spec and type object.
binding::ClassDef& batch_aggregator_class();

}  // namespace brackwell::batcher

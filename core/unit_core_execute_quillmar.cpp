#include "core/unit_core_execute_quillmar.h"

#include "core/ExecuteStep.h"
#include "core/ToneAudio.h"

namespace tw {

void ResetQueue(ProcessQueue& queue) { queue = ProcessQueue{}; }

namespace step_detail {

void ThrowInvalidAddressing() { throw Exception("Invalid addressing detected in core executor !"); }

}  // namespace step_detail

void ExecuteStep(CoreMemory& core, ProcessQueue& queue, PSpace& pspace) {
  ExecuteStepWith<AudibleTone>(core, queue, pspace);
}

}  // namespace tw

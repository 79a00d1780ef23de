#include "engine/engine.h"
#include "engine/mf_api.h"

void RunCaptureLoop(CaptureSource*, Mp4Writer* writer, const RecordingJob*) {
    if (writer->sinkWriter)
        mfApi.Finalize(writer->sinkWriter);
}

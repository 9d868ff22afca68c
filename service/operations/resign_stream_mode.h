#pragma once
// RESG stream mode: a detached pair, or an attached signature in stream
// encoding, is re-signed through the stream stage chain in chunks, so that
// inputs of any size pass with bounded memory. Verification (on the rule's
// directory profile), signing and, for an attached output, stamping (on the
// re-signing profile) run as stages; the verified content goes straight into
// the new signature and, for a detached output, into the data output. A
// detached output is stamped whole after its signing Final (a detached
// signature only exists complete).
//
// Runs on the worker thread; the stop event is not polled (a file once
// started is finished).

#include "service/operations/resign_block_mode.h"
#include "service/operations/stream_stage_chain.h"

// Re-signs the claimed input in stream mode. On success both outputs are
// written and closed and result holds the verification; otherwise failure is
// filled, every output written is deleted, result is released and the code
// returned.
DWORD ResignInStreams(const ResignJob& job, const PipelineFile& file, ResignFile& state, HeldVerifyResult& result,
                      WorkFailure& failure);

// The step text of a call of the stream verification ("Профиль справочника :
// '%s'. <call> проверки ЭП файла ..." or, of a pair, "... проверки
// отсоединённой ЭП '%s' ... файла ..."), without the lines of failed signers.
CString StreamVerificationText(const ResignJob& job, const ResignFile& state, StreamCall call);

// The service's replay check: whether a batch a terminal hands over is the
// one the service committed last, handed again because its confirmation
// got no clear answer.  The rule is the library's (talvo_batch_same): the
// same terminal, count and raw records, whatever the mark.
#pragma once

#include "db/store.h"
#include "talvo.h"

namespace talvo::service {

// The batch from the raw records as the service keeps them (the text of
// Batch::raw); false when the text does not hold `count` raw records.
bool BatchFromText(int terminal, int mark, int count, const std::string& raw, talvo_batch& out);

// A RepeatCheck by the library's rule.  A committed batch whose text no
// longer holds its raw records whole is never the same.
bool RepeatsCommitted(const Batch& fetched, const CommittedBatch& committed);

}  // namespace talvo::service

// Records as the line API hands them out (cents, numbers, fields) and as
// the store holds them (44-byte records).
#pragma once

#include "records/transaction_record.h"
#include "talvo.h"

namespace talvo::lineapi {

// A stored record as the line API's record; TALVO_E_INVALID when its type,
// date or time does not read.
int ToRecord(const TransactionRecord& in, talvo_record& out);
// A line API record as stored; TALVO_E_INVALID for values the store cannot
// carry (among them either amount outside -999999 to 999999 cents).
int FromRecord(const talvo_record& in, TransactionRecord& out);

}  // namespace talvo::lineapi

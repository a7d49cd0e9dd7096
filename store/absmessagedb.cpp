#include "store/absmessagedb.h"

AbsMessageDb::~AbsMessageDb() = default;

#include "shell/common1.h"

namespace velkin::Common1 {

int32_t RowCapacity = kDefaultRowCapacity;
bool KeepSnapshots = true;
ConnectionPair Connection;

}  // namespace velkin::Common1

#include "shell/common1.h"

namespace velkin::Common1 {

int32_t RowCapacity = kDefaultRowCapacity;
ConnectionPair Connection;

}  // namespace velkin::Common1

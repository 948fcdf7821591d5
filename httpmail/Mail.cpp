#include "Mail.h"

CMail::CMail() : retrieved(false), read(false), number(0), deleted(false), size(0) {}
CMail::~CMail() {}
void CMail::ConvertDate() {}

#include "Folder.h"

CFolder::CFolder() : download(false) {}
CFolder::~CFolder() {}

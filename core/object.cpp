#include "core/object.h"

static const char kCObjectName[] = "CObject";
const char *const CObject::sClassName = kCObjectName;

const char *CObject::GetClassName() const { return sClassName; }

void *CObject::Cast(const char *name) {
  return name == sClassName ? this : nullptr;
}

// The root of every class: a class name whose address is the class's
// identity, and a cast by that address. No RTTI is involved.
#pragma once

class CObject {
 public:
  static const char *const sClassName;  // "CObject"

  // The class's name pointer; classes without a name of their own answer
  // their nearest named base's.
  virtual const char *GetClassName() const;
  // This object seen as the class whose name pointer is `name`, or null.
  // Only the pointer counts: another string with the same text gives null.
  virtual void *Cast(const char *name);

 protected:
  CObject() = default;
  // Each hierarchy below declares its own virtual destructor.
  ~CObject() = default;
};

#pragma once
// Base of objects that can copy themselves from another object of a kind
// they understand. Assign either takes the source or hands it to the
// source's AssignTo; when neither knows the other, EConvertError
// "Cannot assign a <source class> to a <target class>" is raised.

#include <string>

namespace tw {

class TPersistent {
 public:
  TPersistent() = default;
  virtual ~TPersistent() = default;
  TPersistent(const TPersistent&) = delete;
  TPersistent& operator=(const TPersistent&) = delete;

  // The class name shown in messages ("TWave", "TAudioPlayer").
  virtual const char* ClassName() const { return "TPersistent"; }
  // Copies Source into this object. Raises EConvertError for an unsupported source.
  virtual void Assign(TPersistent* Source);

 protected:
  // Lets this object copy itself into Dest; the base raises EConvertError.
  virtual void AssignTo(TPersistent* Dest);

 private:
  [[noreturn]] void AssignError(const TPersistent* Source);
};

}  // namespace tw

// Linked into every test program: the process takes the locale from the environment as
// the program's main does, so code under test runs with the user's character classes and
// the C number format.
#include "platform/locale.h"

namespace {

struct TakeLocaleAtStart {
  TakeLocaleAtStart() { TakeUserLocale(); }
} gTakeLocaleAtStart;

}  // namespace

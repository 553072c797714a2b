#include "platform/locale.h"

#include <clocale>

void TakeUserLocale() {
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_NUMERIC, "C");
}

// Operations whose real bodies arrive with their own features; until then they do nothing.
#include "app/mainwindow.h"

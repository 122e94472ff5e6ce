// A codec header that reaches into the core: the layering check must refuse it.
#pragma once
#include "core/UserSession.h"

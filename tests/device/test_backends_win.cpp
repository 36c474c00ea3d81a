// Windows backend tests come with the backends.
#include <gtest/gtest.h>

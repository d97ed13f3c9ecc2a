#include "Alert.h"

namespace platform {

bool runAlertDialog(const Alert&)
{
    return false;
}

}

#include "sound/sound.h"

#include <unistd.h>

void onesecond() {
    sleep(1);
}

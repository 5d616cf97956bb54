// Sound cards and displays that come and go, as udev tells them. udev's own events
// (libudev's monitor), not the kernel's: they come once udev has given the card's
// devices their group and mode, so an open that follows one finds them usable; the
// kernel's come before that, and an open would race udev.
#pragma once

// The monitor's descriptor, for poll; -1 when there is none (said once).
int cards_open();
// Reads one event: true when it may change what auto picks or what can be opened: a
// sound card's change or removal, a display's change.
bool cards_event();

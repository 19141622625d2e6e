// Makes the usbredir parser of one connection, wired to its device.
#pragma once

struct usbredirparser;

namespace klovsim::usbredir {

class RedirDevice;

// A parser in the usb-host role with our hello queued, or null when it cannot be made.
usbredirparser* CreateParser(RedirDevice& device);

}  // namespace klovsim::usbredir

// Standard descriptors a parent may have left closed.
#ifndef VARNOCK_PLATFORM_DESCRIPTORS_H_
#define VARNOCK_PLATFORM_DESCRIPTORS_H_

namespace varnock {

// Opens /dev/null on whichever of descriptors 0, 1 and 2 are closed, so that
// a file opened later never takes their place and receives what was meant
// for standard output. Call first thing in main.
void open_missing_standard_descriptors();

}  // namespace varnock

#endif  // VARNOCK_PLATFORM_DESCRIPTORS_H_

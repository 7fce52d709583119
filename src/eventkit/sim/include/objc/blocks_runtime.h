// GNUstep's headers look for the blocks runtime here; Debian's libBlocksRuntime
// installs it as <Block.h>.
#include <Block.h>

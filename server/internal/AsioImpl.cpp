// Asio's compiled part, built once for the whole daemon instead of in every source that uses it.
//
// A standard header comes first: Asio decides between aligned_alloc and operator new by a macro
// of the standard library's configuration, and every other source sees that macro defined
// before Asio's headers. Without it this source would free with operator delete what the others
// allocated with aligned_alloc.
#include <cstdlib>

#include <asio/impl/src.hpp>

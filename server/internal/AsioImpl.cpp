// Asio's compiled part, built once for the whole daemon instead of in every source that uses it.
#include <asio/impl/src.hpp>

// Placeholder so the library has an object until its first module lands.
namespace kivo { int net_library_anchor = 0; }

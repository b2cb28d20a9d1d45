#include "transport/NxIOHandler.h"

// Out of line so that the class's virtual table has one home.
TNxIOHandler::~TNxIOHandler() = default;

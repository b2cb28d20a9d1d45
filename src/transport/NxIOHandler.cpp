#include "transport/NxIOHandler.h"

#include <algorithm>

TNxIOHandler::~TNxIOHandler() {
    for (TNxIOHandler** slot : FReferences)
        if (*slot == this) *slot = nullptr;
}

void TNxIOHandler::AddReference(TNxIOHandler** slot) {
    if (std::find(FReferences.begin(), FReferences.end(), slot) == FReferences.end())
        FReferences.push_back(slot);
}

void TNxIOHandler::RemoveReference(TNxIOHandler** slot) {
    std::erase(FReferences, slot);
}

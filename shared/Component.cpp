#include "shared/Component.h"

#include <algorithm>

namespace Folivant::Shared {

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
    if (FOwner != nullptr) {
        FOwner->FComponents.push_back(this);
    }
}

TComponent::~TComponent() {
    // A component's destructor may free other owned components itself, so
    // take them one at a time from the list instead of walking it.
    while (!FComponents.empty()) {
        TComponent* child = FComponents.back();
        FComponents.pop_back();
        child->FOwner = nullptr;
        delete child;
    }
    if (FOwner != nullptr) {
        auto& siblings = FOwner->FComponents;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
}

void TComponent::Loaded() {
    FLoading = false;
}

} // namespace Folivant::Shared

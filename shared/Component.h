#pragma once

// The component base class of the framework: a component may have an owner,
// which frees it together with itself, and a component read from a stored
// window layout is told when loading has finished (Loaded). While loading is
// under way its property setters can see that (Loading) and postpone work
// until Loaded.

#include <vector>

namespace Folivant::Shared {

class TComponent {
public:
    explicit TComponent(TComponent* AOwner);
    // Frees every component this one still owns (the last inserted first),
    // then leaves the owner's list.
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return FOwner; }
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }

    // True between BeginLoading and Loaded: the component's properties are
    // being read from a stored layout.
    bool Loading() const { return FLoading; }
    // Called by the layout reader before it assigns the stored properties.
    void BeginLoading() { FLoading = true; }
    // Called by the layout reader once every stored property is assigned.
    virtual void Loaded();

private:
    TComponent* FOwner = nullptr;
    std::vector<TComponent*> FComponents;
    bool FLoading = false;
};

} // namespace Folivant::Shared

// Overloaded: one visitor made of several lambdas, for std::visit over outcome variants.
#pragma once

namespace velk {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace velk

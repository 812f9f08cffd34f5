#include "7c_cry.hpp"

GeometryState geo;

void geo_set_defaults() {
    geo = GeometryState();
}

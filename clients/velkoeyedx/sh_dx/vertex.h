#pragma once

// The one vertex format of meshes and terrain: 32 bytes, uploaded to the GPU
// as it is (position at byte 0, normal at 12, texture coordinate at 24).

#include "clients/velkoeyedx/sh_dx/dxmath.h"

struct CVertex {
    CVector3 vPosition;
    CVector3 vNormal;
    float fU = 0.0f;
    float fV = 0.0f;
};

static_assert(sizeof(CVertex) == 32, "the GPU input layout expects 32-byte vertices");

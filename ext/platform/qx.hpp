#pragma once
// What the module takes from the array library and its reference helpers:
// creation of numeric, char, cell and struct arrays and shared copies;
// reading classes, dimensions, element blocks, cells and struct fields;
// qxDestroyArray and the owning deleters; the name-validity test;
// vdutil::matrixref::refIsRef and refElementIndexRef.
#include <qx/matrix.hpp>
#include <qx/qx.hpp>
#include <qx/vdutil.hpp>

#pragma once

// The product's version: the library's version resource and the setup
// program take it from here.
#define PRODUCT_VERSION_MAJOR 2
#define PRODUCT_VERSION_MINOR 3
#define PRODUCT_VERSION_PATCH 0
#define PRODUCT_VERSION_BUILD 0
#define PRODUCT_VERSION_TEXT "2.3.0.0"

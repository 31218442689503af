// Identifiers shared by the resource script and the code.
#pragma once

#define UIPLUG_PRODUCT_NAME "Corvix TIF Printer"

#define IDD_ABOUT 108
#define IDD_ADDITIONAL 109

// About page
#define IDC_ABOUT_TEXT 1008
#define IDC_BANNER 1009
#define IDC_LINK 1007

// Additional page
#define IDC_ADDITIONAL_GROUP 1009
#define IDC_ADDITIONAL_PROPERTIES 1011

#define IDR_UIPLUG_MANIFEST 2

// The maker's site: a reserved example host, shown in host form on the button.
#define UIPLUG_LINK_HOST "corvix.example.com"
#define UIPLUG_LINK_URL "https://corvix.example.com/"

; The installer of the demo application's version 2.0.0 on Windows, written as a publisher writes
; one with NSIS (Debian's makensis 3.08). The updater starts an installer without parameters, so it
; is silent by its own script. It finds the installed application where installers find one, in
; the registry (value "InstallLocation" of HKLM\Software\Quindlebrookware\Demo Application, which
; the 1.0.0 installation wrote), writes the new version into "version.txt" there (the demo
; application reports its version from that file) and updates "DisplayVersion" in the same key.
;
; Exit codes: 0 installed; 2 no installed application (value missing or empty, or its folder does
; not exist): nothing changed; 3 version.txt or the registry could not be written.
;
; The product name and version of the version resource are defines, so that a build can make
; variants; the updater compares ProductName with its own build setting and refuses a fixed-info
; product version lower than its own:
;
;   makensis -DPRODUCT_NAME="Quindlebrookware Demo Application" -DPRODUCT_VERSION=2.0.0.0 \
;       demo-installer.nsi
;
; cmake/UpdaterNsis.cmake runs makensis when the Windows build is made; the build then signs the
; result with the TEST publisher of tests/pki. TEST material, NOT FOR PRODUCTION.

Unicode true
; 64-bit: a 32-bit installer would see the registry and Program Files of WOW64 instead of the
; 64-bit ones that the application was installed with, and the 64-bit-only Wine of the Windows
; tests cannot start one at all (it installs nothing).
Target amd64-unicode

!include LogicLib.nsh

!ifndef PRODUCT_NAME
    !define PRODUCT_NAME "Quindlebrookware Demo Application"
!endif
!ifndef PRODUCT_VERSION
    !define PRODUCT_VERSION "2.0.0.0"
!endif
!define COMPANY_NAME "Quindlebrookware TEST - NOT FOR PRODUCTION"
!define REGISTRY_KEY "Software\Quindlebrookware\Demo Application"

; The version that the application reports and the registry shows is the first three of its four
; numbers: 2.0.0.0 installs 2.0.0. A version of another form stops the build here: makensis itself
; would take "1.2.3.4.5" or a number above 65535 and write another fixed-info version than the
; strings say.
!searchparse "${PRODUCT_VERSION}" "" VERSION_MAJOR "." VERSION_MINOR "." VERSION_PATCH "." VERSION_BUILD
!macro CheckVersionNumber number
    !define /math VERSION_NUMBER_VALUE ${number} + 0
    !if "${VERSION_NUMBER_VALUE}" != "${number}"
        !error "PRODUCT_VERSION ${PRODUCT_VERSION}: four numbers from 0 to 65535 expected"
    !endif
    !if ${number} < 0
        !error "PRODUCT_VERSION ${PRODUCT_VERSION}: four numbers from 0 to 65535 expected"
    !endif
    !if ${number} > 65535
        !error "PRODUCT_VERSION ${PRODUCT_VERSION}: four numbers from 0 to 65535 expected"
    !endif
    !undef VERSION_NUMBER_VALUE
!macroend
!insertmacro CheckVersionNumber "${VERSION_MAJOR}"
!insertmacro CheckVersionNumber "${VERSION_MINOR}"
!insertmacro CheckVersionNumber "${VERSION_PATCH}"
!insertmacro CheckVersionNumber "${VERSION_BUILD}"
!define DISPLAY_VERSION "${VERSION_MAJOR}.${VERSION_MINOR}.${VERSION_PATCH}"

Name "${PRODUCT_NAME} ${DISPLAY_VERSION}"
OutFile "demo-application-${DISPLAY_VERSION}-setup.exe"
SilentInstall silent
RequestExecutionLevel admin
SetCompressor lzma

VIProductVersion "${PRODUCT_VERSION}"
VIFileVersion "${PRODUCT_VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT_NAME}"
VIAddVersionKey "ProductVersion" "${PRODUCT_VERSION}"
VIAddVersionKey "FileVersion" "${PRODUCT_VERSION}"
VIAddVersionKey "CompanyName" "${COMPANY_NAME}"
VIAddVersionKey "FileDescription" "${PRODUCT_NAME} ${DISPLAY_VERSION} Setup"
VIAddVersionKey "LegalCopyright" "TEST - NOT FOR PRODUCTION"

Function .onInit
    ; The 64-bit view for every registry access of this run (the installer's own default too, as a
    ; 64-bit program; said here so that it stays true).
    SetRegView 64
    ; $INSTDIR comes from the installation alone: a /D= on the command line is overwritten here.
    ClearErrors
    ReadRegStr $INSTDIR HKLM "${REGISTRY_KEY}" "InstallLocation"
    ${If} ${Errors}
    ${OrIf} $INSTDIR == ""
        SetErrorLevel 2
        Quit
    ${EndIf}
    ; "<folder>\*.*" exists for a folder (even an empty one: "."), not for a file.
    ${IfNot} ${FileExists} "$INSTDIR\*.*"
        SetErrorLevel 2
        Quit
    ${EndIf}
FunctionEnd

Section "Demo Application"
    ClearErrors
    FileOpen $0 "$INSTDIR\version.txt" w
    ${If} ${Errors}
        SetErrorLevel 3
        Abort
    ${EndIf}
    FileWrite $0 "${DISPLAY_VERSION}$\r$\n"
    FileClose $0
    ${If} ${Errors}
        SetErrorLevel 3
        Abort
    ${EndIf}
    WriteRegStr HKLM "${REGISTRY_KEY}" "DisplayVersion" "${DISPLAY_VERSION}"
    ${If} ${Errors}
        SetErrorLevel 3
        Abort
    ${EndIf}
SectionEnd

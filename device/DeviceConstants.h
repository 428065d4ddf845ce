#pragma once
// Shared constants, device group: device kinds, baud-rate register maps, the
// control-table item names and operating-mode names that code looks up, the
// graph lists and the servo model names.

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// Device kinds, as the Type attribute of a description's Device element states them.
const QString kDeviceTypeProtocol1 = QStringLiteral("Quorvex1");
const QString kDeviceTypeProtocol2 = QStringLiteral("Quorvex2");
const QString kDeviceTypeModbus = QStringLiteral("QuorvexM");
const QString kDeviceTypeController = QStringLiteral("Controller2");

// Baud-rate register value -> bits per second (keys ascend as unsigned bytes).
const QMap<quint8, int> kBaudRateByRegister1{
    {0, 2000000}, {1, 1000000}, {16, 115200}, {34, 57600}, {207, 9600}, {252, 3000000}};
const QMap<quint8, int> kBaudRateByRegister2{
    {0, 9600},    {1, 57600},   {2, 115200},  {3, 1000000}, {4, 2000000},
    {5, 3000000}, {6, 4000000}, {7, 4500000}, {8, 6000000}, {9, 10500000}};

// Control-table item names: the full names the loader gives items, so that
// model->itemsByName.value(kItemX) finds the item when the model has one.
const QString kItemModelNumber = QStringLiteral("Model Number");
const QString kItemFirmwareVersion = QStringLiteral("Firmware Version");
const QString kItemId = QStringLiteral("ID");
const QString kItemBaudRateBus = QStringLiteral("Baud Rate (Bus)");
const QString kItemBaudRateQvx = QStringLiteral("Baud Rate (QVX)");
const QString kItemBaudRateKtbx = QStringLiteral("Baud Rate (KTBX)");
const QString kItemReturnDelayTime = QStringLiteral("Return Delay Time");
const QString kItemDriveMode = QStringLiteral("Drive Mode");
const QString kItemSecondaryShadowId = QStringLiteral("Secondary(Shadow) ID");
const QString kItemProtocolType = QStringLiteral("Protocol Type");
const QString kItemMinPositionLimit = QStringLiteral("Min Position Limit");
const QString kItemMaxPositionLimit = QStringLiteral("Max Position Limit");
const QString kItemCcwAngleLimit = QStringLiteral("CCW Angle Limit");
const QString kItemCwAngleLimit = QStringLiteral("CW Angle Limit");
const QString kItemStartupConfiguration = QStringLiteral("Startup Configuration");
const QString kItemShutdown = QStringLiteral("Shutdown");
const QString kItemTorqueEnable = QStringLiteral("Torque Enable");
const QString kItemLed = QStringLiteral("LED");
const QString kItemLedRed = QStringLiteral("LED Red");
const QString kItemLedGreen = QStringLiteral("LED Green");
const QString kItemLedBlue = QStringLiteral("LED Blue");
const QString kItemStatusReturnLevel = QStringLiteral("Status Return Level");
const QString kItemQuorvexChannel = QStringLiteral("QUORVEX Channel");
const QString kItemRegisteredInstruction = QStringLiteral("Registered Instruction");
const QString kItemMovingSpeed = QStringLiteral("Moving Speed");
const QString kItemGoalPwm = QStringLiteral("Goal PWM");
const QString kItemGoalCurrent = QStringLiteral("Goal Current");
const QString kItemGoalVelocity = QStringLiteral("Goal Velocity");
const QString kItemGoalPosition = QStringLiteral("Goal Position");
const QString kItemGoalTorque = QStringLiteral("Goal Torque");
const QString kItemGoalAcceleration = QStringLiteral("Goal Acceleration");
const QString kItemRealtimeTick = QStringLiteral("Realtime Tick");
const QString kItemPresentPwm = QStringLiteral("Present PWM");
const QString kItemPresentCurrent = QStringLiteral("Present Current");
const QString kItemPresentTorque = QStringLiteral("Present Torque");
const QString kItemPresentVelocity = QStringLiteral("Present Velocity");
const QString kItemPresentPosition = QStringLiteral("Present Position");
const QString kItemPresentSpeed = QStringLiteral("Present Speed");
const QString kItemPresentLoad = QStringLiteral("Present Load");
const QString kItemVelocityTrajectory = QStringLiteral("Velocity Trajectory");
const QString kItemPositionTrajectory = QStringLiteral("Position Trajectory");
const QString kItemPresentInputVoltage = QStringLiteral("Present Input Voltage");
const QString kItemPresentTemperature = QStringLiteral("Present Temperature");
const QString kItemHardwareErrorStatus = QStringLiteral("Hardware Error Status");
const QString kItemBusWatchdog = QStringLiteral("Bus Watchdog");
const QString kItemOperatingMode = QStringLiteral("Operating Mode");
const QString kItemControlMode = QStringLiteral("Control Mode");
const QString kItemMaxTorque = QStringLiteral("Max Torque");
const QString kItemTorqueLimit = QStringLiteral("Torque Limit");
const QString kItemCurrentLimit = QStringLiteral("Current Limit");
const QString kItemPwmLimit = QStringLiteral("PWM Limit");
const QString kItemVelocityLimit = QStringLiteral("Velocity Limit");
const QString kItemProfileVelocity = QStringLiteral("Profile Velocity");
const QString kItemMovingThreshold = QStringLiteral("Moving Threshold");
const QString kItemMateId = QStringLiteral("Mate ID");
const QString kItemMateTorqueEnable = QStringLiteral("Mate Torque Enable");
const QString kItemIndirectAddress = QStringLiteral("Indirect Address");
const QString kItemIndirectData = QStringLiteral("Indirect Data");
const QString kItemProfileAcceleration = QStringLiteral("Profile Acceleration");
const QString kItemPwmOffset = QStringLiteral("PWM Offset");
const QString kItemCurrentOffset = QStringLiteral("Current Offset");
const QString kItemVelocityOffset = QStringLiteral("Velocity Offset");
const QString kItemFeedforward1stGain = QStringLiteral("Feedforward 1st Gain");
const QString kItemFeedforward2ndGain = QStringLiteral("Feedforward 2nd Gain");
const QString kItemPositionPGain = QStringLiteral("Position P Gain");
const QString kItemPositionIGain = QStringLiteral("Position I Gain");
const QString kItemPositionDGain = QStringLiteral("Position D Gain");
const QString kItemVelocityPGain = QStringLiteral("Velocity P Gain");
const QString kItemVelocityIGain = QStringLiteral("Velocity I Gain");
const QString kItemMotorType = QStringLiteral("Motor Type");
const QString kItemMotorPolePair = QStringLiteral("Motor Pole Pair");
const QString kItemMotorMaxSpeed = QStringLiteral("Motor Max Speed");
const QString kItemMotorRatedCurrent = QStringLiteral("Motor Rated Current");
const QString kItemMotorInductance = QStringLiteral("Motor Inductance");
const QString kItemMotorResistance = QStringLiteral("Motor Resistance");
const QString kItemMotorInertia = QStringLiteral("Motor Inertia");
const QString kItemMotorTorqueConstant = QStringLiteral("Motor Torque Constant");
const QString kItemEncoder1Type = QStringLiteral("Encoder 1 Type");
const QString kItemEncoder1Direction = QStringLiteral("Encoder 1 Direction");
const QString kItemEncoder1PowerUpTime = QStringLiteral("Encoder 1 Power Up Time");
const QString kItemIncEncoder1Resolution = QStringLiteral("INC Encoder 1 Resolution");
const QString kItemAbsEncoder1DataRate = QStringLiteral("ABS Encoder 1 Data Rate");
const QString kItemAbsEncoder1SpecialBits = QStringLiteral("ABS Encoder 1 Special Bits");
const QString kItemAbsEncoder1STurnBits = QStringLiteral("ABS Encoder 1 S-turn Bits");
const QString kItemAbsEncoder1MTurnBits = QStringLiteral("ABS Encoder 1 M-turn Bits");
const QString kItemAbsEncoder1DataType = QStringLiteral("ABS Encoder 1 Data Type");
const QString kItemAbsEncoder1STurnLsbNumber = QStringLiteral("ABS Encoder 1 S-turn LSB Number");
const QString kItemAbsEncoder1MTurnMsbNumber = QStringLiteral("ABS Encoder 1 M-turn MSB Number");
const QString kItemAbsEncoder1CountMode = QStringLiteral("ABS Encoder 1 Count Mode");
const QString kItemEncoder2Type = QStringLiteral("Encoder 2 Type");
const QString kItemEncoder2Direction = QStringLiteral("Encoder 2 Direction");
const QString kItemEncoder2PowerUpTime = QStringLiteral("Encoder 2 Power Up Time");
const QString kItemIncEncoder2Resolution = QStringLiteral("INC Encoder 2 Resolution");
const QString kItemAbsEncoder2DataRate = QStringLiteral("ABS Encoder 2 Data Rate");
const QString kItemAbsEncoder2SpecialBits = QStringLiteral("ABS Encoder 2 Special Bits");
const QString kItemAbsEncoder2STurnBits = QStringLiteral("ABS Encoder 2 S-turn Bits");
const QString kItemAbsEncoder2MTurnBits = QStringLiteral("ABS Encoder 2 M-turn Bits");
const QString kItemAbsEncoder2DataType = QStringLiteral("ABS Encoder 2 Data Type");
const QString kItemAbsEncoder2STurnLsbNumber = QStringLiteral("ABS Encoder 2 S-turn LSB Number");
const QString kItemAbsEncoder2MTurnMsbNumber = QStringLiteral("ABS Encoder 2 M-turn MSB Number");
const QString kItemAbsEncoder2CountMode = QStringLiteral("ABS Encoder 2 Count Mode");
const QString kItemCommutationMode = QStringLiteral("Commutation Mode");
const QString kItemCommutationDirection = QStringLiteral("Commutation Direction");
const QString kItemElectricalAngleCurrent = QStringLiteral("Electrical Angle Current");
const QString kItemElectricalAngleTime = QStringLiteral("Electrical Angle Time");
const QString kItemElectricalAngleOffset = QStringLiteral("Electrical Angle Offset");
const QString kItemGearReductionNumerator = QStringLiteral("Gear Reduction Numerator");
const QString kItemGearReductionDenominator = QStringLiteral("Gear Reduction Denominator");
const QString kItemPeakCurrentRate = QStringLiteral("Peak Current Rate");
const QString kItemPeakCurrentTime = QStringLiteral("Peak Current Time");
const QString kItemDigitalOutput1Mode = QStringLiteral("Digital Output 1 Mode");
const QString kItemDigitalOutput2Mode = QStringLiteral("Digital Output 2 Mode");
const QString kItemDigitalOutput3Mode = QStringLiteral("Digital Output 3 Mode");
const QString kItemApplyParameters = QStringLiteral("Apply Parameters");
const QString kItemPositionRaw = QStringLiteral("Position Raw");
const QString kItemQcCommand = QStringLiteral("QC Command");
const QString kItemQcResponse = QStringLiteral("QC Response");
const QString kItemQcAddress = QStringLiteral("QC Address");
const QString kItemQcData = QStringLiteral("QC Data");
const QString kItemErrorCode = QStringLiteral("Error Code");
const QString kItemErrorHistoryCount = QStringLiteral("Error History Count");
const QString kItemErrorHistoryIndex = QStringLiteral("Error History Index");
const QString kItemErrorHistoryData1 = QStringLiteral("Error History Data 1");
const QString kItemErrorHistoryData2 = QStringLiteral("Error History Data 2");
const QString kItemErrorHistoryData3 = QStringLiteral("Error History Data 3");
const QString kItemErrorHistoryData4 = QStringLiteral("Error History Data 4");
const QString kItemBrakeOnTime = QStringLiteral("Brake On Time");
const QString kItemBrakeOffTime = QStringLiteral("Brake Off Time");
const QString kItemLock = QStringLiteral("Lock");
const QString kItemHybridSave = QStringLiteral("Hybrid Save");
const QString kItemGearRatioNumerator = QStringLiteral("Gear Ratio Numerator");
const QString kItemGearRatioDenominator = QStringLiteral("Gear Ratio Denominator");
const QString kItemPresentInverterTemperature = QStringLiteral("Present Inverter Temperature");
const QString kItemPresentMotorTemperature = QStringLiteral("Present Motor Temperature");
// Operating-mode names, compared with the Mode elements of the descriptions.
const QString kModeJoint = QStringLiteral("Joint");
const QString kModeWheel = QStringLiteral("Wheel");
const QString kModeMultiturn = QStringLiteral("Multiturn");
const QString kModeCurrent = QStringLiteral("Current");
const QString kModeVelocity = QStringLiteral("Velocity");
const QString kModePwm = QStringLiteral("PWM");
const QString kModePosition = QStringLiteral("Position");
const QString kModeExtendedPosition = QStringLiteral("Extended Position");
const QString kModeCurrentBasedPosition = QStringLiteral("Current-based Position");
const QString kModeTorque = QStringLiteral("Torque");
const QString kModeImpedance = QStringLiteral("Impedance");
const QString kItemTableSyncEnable = QStringLiteral("Table Sync Enable");
const QString kItemPresetNumber = QStringLiteral("Preset Number");
const QString kItemPresetMotionIndex = QStringLiteral("Preset Motion Index");
const QString kItemPresetMotionTime = QStringLiteral("Preset Motion Time");
const QString kItemFingerTorqueEnable = QStringLiteral("Finger Torque Enable");
const QStringList kGraphItemNames{
    kItemGoalPosition, kItemGoalCurrent, kItemGoalPwm, kItemGoalVelocity, kItemGoalTorque,
    kItemPresentPosition, kItemPresentCurrent, kItemPresentPwm, kItemPresentVelocity,
    kItemPresentSpeed, kItemPresentLoad, kItemVelocityTrajectory, kItemPositionTrajectory,
    kItemPresentInputVoltage, kItemPresentTemperature, kItemPresentInverterTemperature,
    kItemPresentMotorTemperature};
const QStringList kGraphColors{
    QStringLiteral("#FF6B6B"), QStringLiteral("#51CF66"), QStringLiteral("#74C0FC"),
    QStringLiteral("#FFD43B"), QStringLiteral("#DA77F2"), QStringLiteral("#38D9A9"),
    QStringLiteral("#FF922B"), QStringLiteral("#F06595"), QStringLiteral("#A9E34B"),
    QStringLiteral("#4DABF7"), QStringLiteral("#E599F7"), QStringLiteral("#63E6BE"),
    QStringLiteral("#FFC078"), QStringLiteral("#91A7FF"), QStringLiteral("#C0EB75"),
    QStringLiteral("#FFA8A8"), QStringLiteral("#66D9E8"), QStringLiteral("#FFE066"),
    QStringLiteral("#B197FC"), QStringLiteral("#69DB7C")};
const QStringList kGoalItemNames{
    kItemGoalPosition, kItemGoalCurrent, kItemGoalPwm, kItemGoalVelocity, kItemTorqueEnable};

// Servo model names (our own product line-up).
const QStringList kModelNames{
    QStringLiteral("AR-110"), QStringLiteral("AR-240"), QStringLiteral("AR-360"),
    QStringLiteral("AR-540"), QStringLiteral("AR-860"), QStringLiteral("BN-110"),
    QStringLiteral("BN-240"), QStringLiteral("BN-540"), QStringLiteral("BN-840"),
    QStringLiteral("BN-1160"), QStringLiteral("CV-110"), QStringLiteral("CV-240"),
    QStringLiteral("DL-110"), QStringLiteral("DL-310"), QStringLiteral("ES-110"),
    QStringLiteral("FW-110"), QStringLiteral("GL-M50"), QStringLiteral("GL-M80"),
    QStringLiteral("HS-110"), QStringLiteral("IV-110"), QStringLiteral("IV-340"),
    QStringLiteral("IV-640"), QStringLiteral("JT-110"), QStringLiteral("JT-240"),
    QStringLiteral("KV-110")};

#include "device/ProtocolConstants.h"

// Bits per second -> protocol 2.0 baud-rate register value; the exact inverse of kBaudRateByRegister2.
const QMap<int, quint8> kRegisterByBaudRate2{
    {9600, 0},    {57600, 1},   {115200, 2},  {1000000, 3}, {2000000, 4},
    {3000000, 5}, {4000000, 6}, {4500000, 7}, {6000000, 8}, {10500000, 9}};

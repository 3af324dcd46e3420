class CBlock_Area{
}class CBlock_Beta{
}